// The resumable upload's state as text, sealed with the server's key.
#include "storage/resumable/resumable_state.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/crypto.h>

#include <charconv>

#include "runtime/base64.h"
#include "storage/temporary_files.h"

namespace parcelmoor {
namespace {

// The first line names the format, so that a file of another version or a
// torn write is never taken for a state.
constexpr std::string_view kHeading = "parcelmoor-resumable 2";
constexpr std::string_view kEnd = "end";

std::optional<int64_t> ParseSigned(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Printable ASCII only: no byte that could end a line or hide in one.
bool IsLineSafe(std::string_view text) {
  for (unsigned char c : text)
    if (c < 32 || c > 126) return false;
  return true;
}

// Applies one "key value" line to `state`; false when it is not one.
bool ApplyLine(std::string_view key, std::string_view value, ResumableState& state) {
  auto number = [&](int64_t& into) {
    auto parsed = ParseSigned(value);
    if (parsed) into = *parsed;
    return parsed.has_value();
  };
  if (key == "length") return number(state.length);
  if (key == "offset") return number(state.offset);
  if (key == "expires") return number(state.expires);
  if (key == "client") return state.client = value, true;
  if (key == "credentials") return state.credentials = value, true;
  if (key == "metadata") return state.metadata = value, true;
  if (key == "directory") {
    auto decoded = Base64Decode(value);
    if (decoded) state.directory = *decoded;
    return decoded.has_value();
  }
  if (key == "max-file-bytes") {
    int64_t limit = 0;
    if (!number(limit)) return false;
    state.maxFileBytes = limit;
    return true;
  }
  if (key == "forward-header") {
    const size_t space = value.find(' ');
    if (space == std::string_view::npos) return false;
    auto name = Base64Decode(value.substr(0, space));
    auto text = Base64Decode(value.substr(space + 1));
    if (!name || !text) return false;
    state.forwardHeaders.emplace_back(std::move(*name), std::move(*text));
    return true;
  }
  return false;
}

// The seal of a state's text: HMAC-SHA256 under the server's key, in hex.
std::string SealOf(std::string_view text, std::string_view key) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
            text.size(), mac, &length)) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex.append({kHex[mac[i] >> 4], kHex[mac[i] & 15]});
  return hex;
}

}  // namespace

std::string SerializeResumableState(const ResumableState& s, std::string_view key) {
  std::string text(kHeading);
  auto line = [&](std::string_view key, std::string_view value) {
    text.append("\n").append(key).append(" ").append(value);
  };
  line("length", std::to_string(s.length));
  line("offset", std::to_string(s.offset));
  line("expires", std::to_string(s.expires));
  line("client", s.client);
  line("credentials", s.credentials);
  line("metadata", s.metadata);
  line("directory", Base64Encode(s.directory));
  if (s.maxFileBytes) line("max-file-bytes", std::to_string(*s.maxFileBytes));
  for (const auto& [name, value] : s.forwardHeaders) line("forward-header", Base64Encode(name) + " " + Base64Encode(value));
  line("seal", SealOf(text, key));
  text.append("\n").append(kEnd).append("\n");
  return text;
}

std::optional<ResumableState> ParseResumableState(std::string_view text, std::string_view key) {
  if (!text.starts_with(kHeading) || !text.ends_with("\n" + std::string(kEnd) + "\n")) return std::nullopt;
  text.remove_suffix(kEnd.size() + 2);
  // Only a state this server sealed is trusted: a file planted in the
  // private folder, or one written under another key, is no state.
  const size_t sealLine = text.rfind("\nseal ");
  if (sealLine == std::string_view::npos) return std::nullopt;
  const std::string_view seal = text.substr(sealLine + 6);
  const std::string expected = SealOf(text.substr(0, sealLine), key);
  if (expected.empty() || seal.size() != expected.size() ||
      CRYPTO_memcmp(seal.data(), expected.data(), expected.size()) != 0) {
    return std::nullopt;
  }
  text = text.substr(kHeading.size(), sealLine - kHeading.size());
  ResumableState state;
  while (!text.empty()) {
    if (text.front() != '\n') return std::nullopt;
    text.remove_prefix(1);
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(line.size());
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || !IsLineSafe(line)) return std::nullopt;
    if (!ApplyLine(line.substr(0, space), line.substr(space + 1), state)) return std::nullopt;
  }
  if (state.length < 0 || state.offset < 0 || state.offset > state.length) return std::nullopt;
  return state;
}

std::string NewResumableId() {
  // Two writer ids: 128 random bits in all.
  std::string first = NewWriterId();
  std::string second = NewWriterId();
  if (first.empty() || second.empty()) return "";
  return first + second;
}

bool IsResumableId(std::string_view id) {
  if (id.size() != 32) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace parcelmoor
