#pragma once
// The errors the line scanner raises for a body it cannot split into lines:
// no delimiter line, or a line too long for its buffer. Raising stops the
// parsing of the body; the body reader then writes its notice to the response.

#include <cstdint>

#include "runtime/raised_error.h"

namespace parcelmoor::scanerr {

// Numbers follow the component's own errors (0x800401F5, 0x800401F7).
// The body's first line is empty: there is no delimiter to split it at.
inline constexpr int32_t kNoDelimiterLine = -2147221000;  // 0x800401F8
// The body's first line, the delimiter line, is longer than 1,024 bytes.
inline constexpr int32_t kDelimiterLineTooLong = -2147220999;  // 0x800401F9
// A line among a part's headers is longer than 2,048 bytes.
inline constexpr int32_t kHeaderLineTooLong = -2147220998;  // 0x800401FA

inline constexpr const char* kNoDelimiterLineText =
    "The request body does not begin with a delimiter line: its first line is empty.";
inline constexpr const char* kDelimiterLineTooLongText =
    "The delimiter line of the request body is longer than 1024 bytes.";
inline constexpr const char* kHeaderLineTooLongText = "A header line of the request body is longer than 2048 bytes.";

[[noreturn]] inline void RaiseNoDelimiterLine() { Raise(kNoDelimiterLine, kComponentSource, kNoDelimiterLineText); }
[[noreturn]] inline void RaiseDelimiterLineTooLong() {
  Raise(kDelimiterLineTooLong, kComponentSource, kDelimiterLineTooLongText);
}
[[noreturn]] inline void RaiseHeaderLineTooLong() {
  Raise(kHeaderLineTooLong, kComponentSource, kHeaderLineTooLongText);
}

}  // namespace parcelmoor::scanerr
