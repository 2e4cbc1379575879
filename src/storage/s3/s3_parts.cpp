// Part collection and the MD5s that check each part and the whole.
#include "storage/s3/s3_parts.h"

#include <openssl/evp.h>

#include <algorithm>

#include "runtime/ascii.h"

namespace parcelmoor {

size_t PartBuffer::fill(std::span<const uint8_t> bytes) {
  if (bytes_.capacity() < partSize_) bytes_.reserve(partSize_);
  const size_t n = std::min(bytes.size(), partSize_ - bytes_.size());
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void PartBuffer::release() {
  bytes_.clear();
  bytes_.shrink_to_fit();
}

std::string Md5Of(std::span<const uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string HexOf(const std::string& raw) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(raw.size() * 2);
  for (unsigned char c : raw) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string MultipartETag(const std::vector<std::string>& partMd5s) {
  std::string joined;
  for (const std::string& md5 : partMd5s) joined += md5;
  const std::string whole = Md5Of(std::span(reinterpret_cast<const uint8_t*>(joined.data()), joined.size()));
  return "\"" + HexOf(whole) + "-" + std::to_string(partMd5s.size()) + "\"";
}

std::string BareETag(std::string_view etag) {
  std::string out;
  for (char c : etag) {
    if (c != '"') out += AsciiToLower(c);
  }
  return out;
}

}  // namespace parcelmoor
