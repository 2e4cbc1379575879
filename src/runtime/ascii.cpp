#include "runtime/ascii.h"

namespace parcelmoor {

std::string FoldAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiToLower(c);
  return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

std::string_view TrimAscii(std::string_view s, std::string_view chars) {
  size_t first = s.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(chars) - first + 1);
}

}  // namespace parcelmoor
