// SHA-256 in lowercase hex, on the shared digest.
#include "storage/sha256_stream.h"

namespace parcelmoor {

bool Sha256Stream::start() noexcept { return digest_.start("sha256"); }

void Sha256Stream::update(std::span<const uint8_t> bytes) noexcept { digest_.update(bytes); }

std::string Sha256Stream::finishHex() {
  const std::string digest = digest_.finish();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest.size());
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

}  // namespace parcelmoor
