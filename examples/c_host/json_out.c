/* JSON output of the example host, written as `parcelmoor store --json`
 * writes it. */
#include "json_out.h"

#include <stdio.h>

/* Length of the valid UTF-8 sequence at s[i], or 0 when none starts there. */
static size_t Utf8Length(const unsigned char* s, size_t n, size_t i) {
#define CONT(k, lo, hi) ((k) < n && s[k] >= (lo) && s[k] <= (hi))
  unsigned char b = s[i];
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return CONT(i + 1, 0x80, 0xBF) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    unsigned char lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    return CONT(i + 1, lo, hi) && CONT(i + 2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    unsigned char lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    return CONT(i + 1, lo, hi) && CONT(i + 2, 0x80, 0xBF) && CONT(i + 3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
#undef CONT
}

/* Each byte outside valid UTF-8 is written as U+FFFD, as the hosts write it;
 * programs that need the exact bytes read the hosts' Base64 copies. */
void PrintJsonString(const char* text, size_t n) {
  const unsigned char* s = (const unsigned char*)text;
  putchar('"');
  for (size_t i = 0; i < n;) {
    size_t len = Utf8Length(s, n, i);
    if (len == 0) {
      fputs("\xEF\xBF\xBD", stdout);
      ++i;
    } else if (len > 1) {
      fwrite(s + i, 1, len, stdout);
      i += len;
    } else {
      unsigned char c = s[i++];
      if (c == '"' || c == '\\') printf("\\%c", c);
      else if (c == '\n') fputs("\\n", stdout);
      else if (c == '\r') fputs("\\r", stdout);
      else if (c == '\t') fputs("\\t", stdout);
      else if (c < 0x20 || c == 0x7F) printf("\\u%04x", c);
      else putchar(c);
    }
  }
  putchar('"');
}

void PrintJsonError(const QeltErrorInfo* e) {
  if (!e) {
    fputs("null", stdout);
    return;
  }
  printf("{\"number\":%d,\"source\":", (int)e->number);
  PrintJsonString(e->source, e->sourceLength);
  fputs(",\"description\":", stdout);
  PrintJsonString(e->description, e->descriptionLength);
  putchar('}');
}

