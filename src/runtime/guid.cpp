#include "runtime/guid.h"

#include <cstdio>

namespace parcelmoor {

static_assert(HasGuidLayout<Guid>(), "runtime/guid.h's QeltGuid left the public C header's layout");

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at `at`; false when one is not a digit.
bool ReadHex(std::string_view text, size_t at, int digits, uint64_t& out) {
  out = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[at + static_cast<size_t>(i)]);
    if (d < 0) return false;
    out = out * 16 + static_cast<uint64_t>(d);
  }
  return true;
}

}  // namespace

std::string GuidToString(const Guid& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                g.data4[7]);
  return text;
}

std::optional<Guid> GuidFromString(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  Guid g{};
  uint64_t v = 0;
  if (!ReadHex(text, 0, 8, v)) return std::nullopt;
  g.data1 = static_cast<uint32_t>(v);
  if (!ReadHex(text, 9, 4, v)) return std::nullopt;
  g.data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, v)) return std::nullopt;
  g.data3 = static_cast<uint16_t>(v);
  static constexpr size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kByteAt[i], 2, v)) return std::nullopt;
    g.data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

}  // namespace parcelmoor
