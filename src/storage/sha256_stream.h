#pragma once
// A SHA-256 of bytes that arrive in pieces, so that a file's digest is ready
// when its last byte is written, without reading the file again. OpenSSL's
// EVP digest does the work. One object serves one file at a time; start()
// begins the next.
//
// A large piece may be hashed on a side thread while its caller writes it
// and receives the next (updateBeside): on a big body the digest then costs
// almost no time of the thread that reads the request.

#include <cstdint>
#include <span>
#include <string>

#include "runtime/side_task.h"
#include "storage/message_digest.h"

namespace parcelmoor {

class Sha256Stream {
 public:
  // Begins a new digest, forgetting any bytes given before. Returns false
  // when the library could not begin one (then finishHex() gives "").
  bool start() noexcept;
  // Adds `bytes` to the digest. REQUIRES: started.
  void update(std::span<const uint8_t> bytes) noexcept;
  // Adds `bytes` like update(), on a side thread when one is idle, and
  // returns at once. The bytes must stay as they are until the next call on
  // this object (every call first waits for them). REQUIRES: started.
  void updateBeside(std::span<const uint8_t> bytes) noexcept;
  // Waits until no side thread reads bytes given to updateBeside().
  void settle() noexcept { side_.wait(); }
  // Whether a side thread may still read bytes in [begin, begin + size).
  bool reading(const uint8_t* begin, size_t size) const noexcept;
  // The digest of every byte since start(), as 64 lowercase hex digits; ""
  // when the library failed at any step. Ends the digest.
  std::string finishHex();

 private:
  static void UpdateBeside(void* self) noexcept;

  MessageDigest digest_;
  SideTask side_;
  std::span<const uint8_t> besideBytes_;  // what the side thread hashes
};

}  // namespace parcelmoor
