#pragma once
// Text as the answers show it: JSON string literals that every JSON reader
// takes (strict UTF-8, no lone surrogates), and cutting a text to a size
// without splitting a character. (The exact bytes of a name that is not UTF-8
// go in Base64: runtime/base64.h.)

#include <cstddef>
#include <string>
#include <string_view>

namespace parcelmoor {

// `bytes` as a JSON string literal, quotes included. Valid UTF-8 goes through
// as it is; each byte that does not belong to a valid sequence becomes
// U+FFFD, so the result is always valid UTF-8 and holds no surrogate escape.
// Control characters, the quote and the backslash are escaped.
std::string JsonString(std::string_view bytes);

// True when `bytes` is valid UTF-8 throughout (JsonString shows it as it is).
bool IsValidUtf8(std::string_view bytes);

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a valid UTF-8 sequence. Equals `text` when it is no longer than
// `limit`.
std::string_view CutText(std::string_view text, size_t limit);

}  // namespace parcelmoor
