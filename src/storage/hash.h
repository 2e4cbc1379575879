#pragma once
// FNV-1a, 64 bits: a quick, stable hash of bytes (the same in every process
// and every build), for lock offsets and identities, never for secrets.

#include <cstdint>
#include <string_view>

namespace parcelmoor {

inline constexpr uint64_t kFnv1aStart = 14695981039346656037ull;

// The hash of `bytes`, continued from `hash` (kFnv1aStart for a new one).
inline uint64_t Fnv1a(std::string_view bytes, uint64_t hash = kFnv1aStart) {
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

}  // namespace parcelmoor
