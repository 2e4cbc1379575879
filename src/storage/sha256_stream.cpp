// SHA-256 in lowercase hex, on the shared digest.
#include "storage/sha256_stream.h"

namespace parcelmoor {

bool Sha256Stream::start() noexcept {
  settle();
  return digest_.start("sha256");
}

void Sha256Stream::update(std::span<const uint8_t> bytes) noexcept {
  settle();
  digest_.update(bytes);
}

void Sha256Stream::updateBeside(std::span<const uint8_t> bytes) noexcept {
  settle();
  besideBytes_ = bytes;
  if (!side_.start(&Sha256Stream::UpdateBeside, this)) digest_.update(bytes);
}

void Sha256Stream::UpdateBeside(void* self) noexcept {
  auto* stream = static_cast<Sha256Stream*>(self);
  stream->digest_.update(stream->besideBytes_);
}

bool Sha256Stream::reading(const uint8_t* begin, size_t size) const noexcept {
  if (!side_.running() || besideBytes_.empty()) return false;
  // Compared as addresses: the two ranges may lie in different arrays.
  const auto from = reinterpret_cast<uintptr_t>(begin);
  const auto busyFrom = reinterpret_cast<uintptr_t>(besideBytes_.data());
  return from < busyFrom + besideBytes_.size() && busyFrom < from + size;
}

std::string Sha256Stream::finishHex() {
  settle();
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
