// The line scanner inside a part's content: only a delimiter line matters
// there, a line of the delimiter's length (or two bytes more, the close
// delimiter) that follows a line end and begins with the delimiter. It is
// found by searching for CR LF followed by the delimiter (FindDelimiterLeadIn,
// whose speed depends neither on the delimiter nor on the content); the
// content before the first one goes to the consumer straight from the piece,
// the CR LF in front of it is held back, and only that line is handed over.
// A piece without one is handed over whole, but for a last line short enough
// to become one in the next piece.
//
// The line that begins right after a part's blank line is a delimiter line
// by the same measure, although no line end of the content precedes it: a
// part whose delimiter follows its blank line at once is an empty part.

#include <string.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "multipart/delimiter_search.h"
#include "multipart/multipart_parser.h"

namespace parcelmoor {
namespace {

constexpr uint8_t kCR = 13;
constexpr uint8_t kLF = 10;

// Index of the CR of the last line end that lies wholly in chunk[from, to),
// or -1.
int32_t FindLastLineEnd(const uint8_t* chunk, int32_t from, int32_t to) {
  while (to - from >= 2) {
    const void* found = memrchr(chunk + from + 1, kLF, static_cast<size_t>(to - from - 1));
    if (found == nullptr) return -1;
    const int32_t lf = static_cast<int32_t>(static_cast<const uint8_t*>(found) - chunk);
    if (chunk[lf - 1] == kCR) return lf - 1;
    to = lf;
  }
  return -1;
}

// Whether count bytes of a and b are equal.
bool BytesEqual(const uint8_t* a, const uint8_t* b, int32_t count) {
  return count <= 0 || std::memcmp(a, b, static_cast<size_t>(count)) == 0;
}

}  // namespace

// What the bytes after a line end say about the line they begin.
struct MultipartParser::Prospect {
  enum Kind { kNotDelimiter, kDelimiterLine, kUndecided };
  Kind kind;
  int32_t lineEnd = -1;  // index in the chunk of the CR that ends a delimiter line
};

// Measures the line made of the `held` bytes of abLine followed by the chunk
// from `from` (a line end precedes it): a delimiter line when it begins with
// the delimiter and ends after lBoundaryLength or lBoundaryLength + 2 bytes;
// undecided when the chunk ends first. Compares at most lBoundaryLength bytes
// and stops at the first that differs; none when the caller found the
// delimiter there already.
MultipartParser::Prospect MultipartParser::measureProspect(int32_t held, int32_t from, bool delimiterFound) const {
  const uint8_t* chunk = abChunk;
  const uint8_t* line = abLine.data();
  const int32_t end = lChunkLength;
  const int32_t boundaryLength = lBoundaryLength;
  if (!delimiterFound) {
    const int32_t inLine = std::min(boundaryLength, held);
    if (!BytesEqual(line, abBoundary.data(), inLine)) return {Prospect::kNotDelimiter};
    const int32_t inChunk = std::min(boundaryLength - inLine, end - from);
    if (!BytesEqual(abBoundary.data() + inLine, chunk + from, inChunk)) return {Prospect::kNotDelimiter};
    if (inLine + inChunk < boundaryLength) return {Prospect::kUndecided};
  }
  const int32_t available = held + end - from;
  auto byteAt = [&](int32_t k) -> int32_t {
    if (k >= available) return -1;
    return k < held ? line[k] : chunk[from + k - held];
  };
  // The first line end after the delimiter's bytes decides.
  for (int32_t k = boundaryLength - 1; k <= boundaryLength + 2; ++k) {
    const int32_t b = byteAt(k);
    const int32_t next = byteAt(k + 1);
    if (b < 0 || (b == kCR && next < 0)) return {Prospect::kUndecided};
    if (b != kCR || next != kLF) continue;
    if (k != boundaryLength && k != boundaryLength + 2) return {Prospect::kNotDelimiter};
    return {Prospect::kDelimiterLine, from + k - held};
  }
  return {Prospect::kNotDelimiter};
}

int32_t MultipartParser::nextContentLine() {
  const uint8_t* chunk = abChunk;
  const int32_t start = lChunkPos;
  const int32_t end = lChunkLength;
  const int32_t boundaryLength = lBoundaryLength;
  // A CR at the chunk end is not part of the line yet: the next chunk decides.
  const bool crAtEnd = chunk[end - 1] == kCR;
  const int32_t lineBytesTo = crAtEnd ? end - 1 : end;

  // A delimiter line follows a line end, so every one inside the chunk is
  // found by searching for CR LF and the delimiter; only the line that began
  // before this chunk (in abLine), or at the content's start, is looked at on
  // its own. Each such prospect is then measured: it must end (CR LF) after
  // exactly lBoundaryLength or lBoundaryLength + 2 bytes.
  if (bPendingCRLF || atContentStart_) {
    const Prospect first = measureProspect(lLineLength, start, false);
    if (first.kind == Prospect::kDelimiterLine) {
      carry(start, first.lineEnd - start);
      lChunkPos = first.lineEnd + 2;
      return 1;
    }
  }
  if (end - start >= boundaryLength + 2) {
    std::array<uint8_t, kBoundaryCapacity + 2> needle;
    needle[0] = kCR;
    needle[1] = kLF;
    std::memcpy(needle.data() + 2, abBoundary.data(), static_cast<size_t>(boundaryLength));
    const size_t needleLength = static_cast<size_t>(boundaryLength) + 2;
    for (int32_t from = start; end - from >= boundaryLength + 2;) {
      const uint8_t* found =
          FindDelimiterLeadIn(chunk + from, static_cast<size_t>(end - from), needle.data(), needleLength);
      if (found == nullptr) break;
      const int32_t lineEndBefore = static_cast<int32_t>(found - chunk);
      const int32_t lineStart = lineEndBefore + 2;
      const Prospect p = measureProspect(0, lineStart, true);
      if (p.kind == Prospect::kDelimiterLine) {
        writeHeldBack();
        writeBytes(chunk, lineEndBefore - start, start);
        bPendingCRLF = true;  // the CR LF in front of the delimiter line
        carry(lineStart, p.lineEnd - lineStart);
        lChunkPos = p.lineEnd + 2;
        return 1;
      }
      if (p.kind == Prospect::kUndecided) break;  // it reaches the chunk end
      // The next CR LF comes after the delimiter's bytes, or is its last byte.
      from = lineStart + boundaryLength - 1;
    }
  }

  // The chunk holds no delimiter line. Write everything except a trailing
  // line of at most lBoundaryLength + 2 bytes, which may still become one.
  const int32_t lastLineEnd =
      FindLastLineEnd(chunk, std::max(start, lineBytesTo - boundaryLength - 4), lineBytesTo);
  if (lastLineEnd >= 0) {
    writeHeldBack();
    writeBytes(chunk, lastLineEnd - start, start);
    bPendingCRLF = true;
    carry(lastLineEnd + 2, lineBytesTo - lastLineEnd - 2);
  } else if (lLineLength + lineBytesTo - start <= boundaryLength + 2) {
    carry(start, lineBytesTo - start);  // no line end at all: the line goes on
  } else {
    writeHeldBack();
    writeBytes(chunk, lineBytesTo - start, start);
  }
  bCRAtChunkEnd = crAtEnd;
  lChunkPos = end;
  return 0;
}

}  // namespace parcelmoor
