#pragma once
// A 128-bit identifier in the component object model's layout (one 32-bit,
// two 16-bit and eight byte fields), usable from C and C++ alike, and its
// registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <stdint.h>

#ifdef __cplusplus
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

// Upper-case hexadecimal, with braces.
std::string GuidToString(const Guid& guid);
// Accepts the form GuidToString writes, with or without braces, in either
// letter case; nullopt for anything else.
std::optional<Guid> GuidFromString(std::string_view text);

}  // namespace parcelmoor
#endif
