#pragma once
// A file cut into the parts of a multipart upload as its bytes arrive, and
// the digests that let the store check each part and this store check what
// the store kept: Content-MD5 per part (the store refuses a part whose bytes
// do not match), the part's ETag (its MD5 in hex), and the completed
// object's ETag (the MD5 of the parts' MD5s, "-N"). Digests by OpenSSL EVP.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace parcelmoor {

// Collects the bytes of one part at a time, in memory it allocates once
// (the part size) and frees when told.
class PartBuffer {
 public:
  explicit PartBuffer(size_t partSize) : partSize_(partSize) {}
  // Copies as much of `bytes` as the current part still has room for;
  // returns how many.
  size_t fill(std::span<const uint8_t> bytes);
  bool full() const { return bytes_.size() == partSize_; }
  bool empty() const { return bytes_.empty(); }
  std::span<const uint8_t> part() const { return bytes_; }
  // The part was sent: the next one begins, in the same memory.
  void clear() { bytes_.clear(); }
  // No part will follow: the memory goes.
  void release();

 private:
  size_t partSize_;
  std::vector<uint8_t> bytes_;
};

// The MD5 of `bytes` (16 bytes).
std::string Md5Of(std::span<const uint8_t> bytes);
// Lower-case hex of raw bytes.
std::string HexOf(const std::string& raw);
// The ETag ("\"hex\"") of a multipart object whose parts had these raw MD5s.
std::string MultipartETag(const std::vector<std::string>& partMd5s);
// An ETag without its quotes, lower case, for comparing.
std::string BareETag(std::string_view etag);

}  // namespace parcelmoor
