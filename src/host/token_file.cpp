#include "host/token_file.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace parcelmoor {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool SameAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  }
  return true;
}

std::array<unsigned char, 32> Sha256(std::string_view text) {
  std::array<unsigned char, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    throw std::runtime_error("SHA-256 is not available");
  }
  return digest;
}

int64_t ModifiedNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// Modification times move in clock ticks of a few milliseconds: a file
// rewritten to the same size within one tick looks unchanged. While its
// time is that recent it is read on every check.
bool RecentlyModified(const struct stat& st) {
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  return now - ModifiedNs(st) < 2'000'000'000;
}

}  // namespace

std::string_view BearerToken(std::string_view authorization) {
  authorization = Trim(authorization);
  constexpr std::string_view kScheme = "bearer";
  if (authorization.size() <= kScheme.size() || !SameAsciiCase(authorization.substr(0, kScheme.size()), kScheme) ||
      !IsSpace(authorization[kScheme.size()])) {
    return {};
  }
  return Trim(authorization.substr(kScheme.size()));
}

TokenFile::TokenFile(std::string path) : path_(std::move(path)) {
  std::string why;
  if (!Refresh(why)) throw std::runtime_error("cannot read token file " + path_ + ": " + why);
}

// Blank lines and lines starting with '#' hold no token.
bool TokenFile::Refresh(std::string& why) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    why = "it does not exist or cannot be looked at";
    loaded_ = false;
    return false;
  }
  if (loaded_ && st.st_dev == device_ && st.st_ino == inode_ && st.st_size == size_ && ModifiedNs(st) == modifiedNs_ &&
      !RecentlyModified(st)) {
    return true;
  }
  std::ifstream in(path_);
  if (!in) {
    why = "it cannot be opened";
    loaded_ = false;
    return false;
  }
  std::vector<Digest> tokens;
  for (std::string line; std::getline(in, line);) {
    std::string_view token = Trim(line);
    if (token.empty() || token.front() == '#') continue;
    tokens.push_back(Sha256(token));
  }
  tokens_ = std::move(tokens);
  device_ = st.st_dev;
  inode_ = st.st_ino;
  size_ = st.st_size;
  modifiedNs_ = ModifiedNs(st);
  loaded_ = true;
  return true;
}

TokenFile::Verdict TokenFile::Check(std::string_view authorization) {
  std::string_view token = BearerToken(authorization);
  if (token.empty()) return Verdict::kNoToken;
  const Digest offered = Sha256(token);
  std::lock_guard lock(mutex_);
  std::string why;
  if (!Refresh(why)) return Verdict::kNoFile;
  // Every line is compared, a match or not, so the time taken tells nothing
  // of which line matched or how far a guess got.
  unsigned match = 0;
  for (const Digest& known : tokens_) {
    match |= static_cast<unsigned>(CRYPTO_memcmp(known.data(), offered.data(), offered.size()) == 0);
  }
  return match ? Verdict::kAccepted : Verdict::kWrongToken;
}

const char* TokenFile::LogWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::kAccepted: return "token-accepted";
    case Verdict::kNoToken: return "token-missing";
    case Verdict::kWrongToken: return "token-wrong";
    case Verdict::kNoFile: return "token-file-unreadable";
  }
  return "token-wrong";
}

}  // namespace parcelmoor
