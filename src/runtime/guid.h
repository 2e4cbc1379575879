#pragma once
// A 128-bit identifier in the component object model's layout (one 32-bit,
// two 16-bit and eight byte fields), usable from C and C++ alike, and its
// registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#endif

// Also declared, identically, by the shared library's public C header.
#ifndef QELT_GUID_DEFINED
#define QELT_GUID_DEFINED
typedef struct QeltGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} QeltGuid;
#endif

#ifdef __cplusplus
// In the type's own (global) namespace, so that look-up finds it from anywhere.
constexpr bool operator==(const QeltGuid& a, const QeltGuid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.data4[i] != b.data4[i]) return false;
  return true;
}

namespace parcelmoor {

using Guid = QeltGuid;

// True when `T` has QeltGuid's layout: 16 bytes, data1 at 0, data2 at 4,
// data3 at 6, data4 at 8. Each of the two definitions of QeltGuid (here and
// in the public C header; a translation unit sees whichever it includes
// first) is checked against it where it is in force, so they cannot drift.
template <class T>
constexpr bool HasGuidLayout() {
  return sizeof(T) == 16 && offsetof(T, data1) == 0 && offsetof(T, data2) == 4 && offsetof(T, data3) == 6 &&
         offsetof(T, data4) == 8;
}

// Upper-case hexadecimal, with braces.
std::string GuidToString(const Guid& guid);
// Accepts the form GuidToString writes, with or without braces, in either
// letter case; nullopt for anything else.
std::optional<Guid> GuidFromString(std::string_view text);

}  // namespace parcelmoor
#endif
