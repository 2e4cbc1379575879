#include "host/json_text.h"

#include <cstdio>

namespace parcelmoor {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the byte there does
// not start one. Surrogates (ED A0..BF) and overlong forms are not valid.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return k < s.size() && byte(k) >= lo && byte(k) <= hi;
  };
  unsigned char b = byte(i);
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return cont(i + 1) ? 2 : 0;
  if (b == 0xE0) return cont(i + 1, 0xA0) && cont(i + 2) ? 3 : 0;
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return cont(i + 1) && cont(i + 2) ? 3 : 0;
  if (b == 0xED) return cont(i + 1, 0x80, 0x9F) && cont(i + 2) ? 3 : 0;
  if (b == 0xF0) return cont(i + 1, 0x90) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (b >= 0xF1 && b <= 0xF3) return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  if (b == 0xF4) return cont(i + 1, 0x80, 0x8F) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  return 0;
}

// Bytes that go into a JSON string as they are: printable ASCII but the
// quote and the backslash.
bool IsPlainJsonByte(char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

void AppendAsciiEscaped(std::string& out, char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
  out += buf;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  for (size_t i = 0; i < bytes.size();) {
    // Runs of plain bytes, most texts whole, are appended at once.
    size_t plain = i;
    while (plain < bytes.size() && IsPlainJsonByte(bytes[plain])) ++plain;
    if (plain > i) {
      out.append(bytes.substr(i, plain - i));
      i = plain;
      continue;
    }
    size_t len = Utf8SequenceLength(bytes, i);
    if (len == 0) {
      out += kReplacement;
      ++i;
    } else if (len == 1) {
      AppendAsciiEscaped(out, bytes[i]);
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  out += '"';
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t len = Utf8SequenceLength(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string_view CutText(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  // Step back over continuation bytes to the start of the last sequence; cut
  // before it unless it ends within the limit.
  size_t start = limit;
  while (start > 0 && limit - start < 3 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  size_t len = Utf8SequenceLength(text, start);
  return text.substr(0, len != 0 && start + len <= limit ? start + len : start);
}

}  // namespace parcelmoor
