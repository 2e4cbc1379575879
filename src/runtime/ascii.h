#pragma once
// ASCII text helpers: letter case and trimming. Bytes outside A-Z / a-z are
// left as they are, whatever they mean in UTF-8 or a code page.

#include <string>
#include <string_view>

namespace parcelmoor {

constexpr char AsciiToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
constexpr char AsciiToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// `s` with A-Z folded to a-z.
std::string FoldAscii(std::string_view s);
// True when `a` and `b` are equal once A-Z are folded to a-z.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// `s` without the leading and trailing characters found in `chars`.
std::string_view TrimAscii(std::string_view s, std::string_view chars = " \t");

}  // namespace parcelmoor
