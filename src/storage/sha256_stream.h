#pragma once
// A SHA-256 of bytes that arrive in pieces, so that a file's digest is ready
// when its last byte is written, without reading the file again. OpenSSL's
// EVP digest does the work. One object serves one file at a time; start()
// begins the next.

#include <cstdint>
#include <span>
#include <string>

#include "storage/message_digest.h"

namespace parcelmoor {

class Sha256Stream {
 public:
  // Begins a new digest, forgetting any bytes given before. Returns false
  // when the library could not begin one (then finishHex() gives "").
  bool start() noexcept;
  // Adds `bytes` to the digest. REQUIRES: started.
  void update(std::span<const uint8_t> bytes) noexcept;
  // The digest of every byte since start(), as 64 lowercase hex digits; ""
  // when the library failed at any step. Ends the digest.
  std::string finishHex();

 private:
  MessageDigest digest_;
};

}  // namespace parcelmoor
