// The line scanner: turns the chunks of the request body into the lines the
// part state machine works on.
//
// A line ends where CR is immediately followed by LF. The scanner never
// steps through the bytes one by one. In header mode it looks for LF with
// memchr and at the byte before it, and hands over one line per call. Inside
// a part's content only a delimiter line matters: a line of the delimiter's
// length (or two bytes more, the close delimiter) that follows a line end and
// begins with the delimiter. The scanner finds such lines with memmem for CR
// LF followed by the delimiter, passes the content before the first one to
// writeBytes straight from the chunk, holds back the CR LF in front of it,
// and hands over only that line. A chunk without one is written out whole,
// but for a last line short enough to become one in the next chunk.
//
// What a chunk border cuts is carried in the object's members: the beginning
// of a line in abLine (inside content at most lBoundaryLength + 2 bytes, and
// only while the line could still be a delimiter line), a CR at the chunk end
// whose meaning the next byte decides (bCRAtChunkEnd), and a CR LF that ended
// a content line but is not written yet (bPendingCRLF). So the same body
// gives the same lines and the same content however the reads cut it.
//
// Errors raised by handleLine and writeBytes pass through unchanged.

#include <string.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "upload/scanner_errors.h"
#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr uint8_t kCR = 13;
constexpr uint8_t kLF = 10;

// Index of the CR of the first line end whose LF lies in chunk[from, to), or
// -1. REQUIRES: from >= 1; the byte before `from` belongs to the bytes being
// scanned (an LF at the very first scanned byte cannot end a line there).
int32_t FindLineEnd(const uint8_t* chunk, int32_t from, int32_t to) {
  while (from < to) {
    const void* found = std::memchr(chunk + from, kLF, static_cast<size_t>(to - from));
    if (found == nullptr) return -1;
    const int32_t lf = static_cast<int32_t>(static_cast<const uint8_t*>(found) - chunk);
    if (chunk[lf - 1] == kCR) return lf - 1;
    from = lf + 1;
  }
  return -1;
}

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

// What the bytes after a line end say about the line they begin.
struct Prospect {
  enum Kind { kNotDelimiter, kDelimiterLine, kUndecided };
  Kind kind;
  int32_t lineEnd = -1;  // index in the chunk of the CR that ends a delimiter line
};

}  // namespace

int32_t UploadFile::processChunk() {
  if (!bBoundaryKnown) captureBoundary();
  while (lChunkPos < lChunkLength) {
    if (nextLine() == 1 && handleLine() == -1) return -1;
  }
  return 0;
}

void UploadFile::captureBoundary() {
  if (bBoundaryKnown) return;
  if (nextLine() == 0) return;  // the first line continues in the next chunk
  // Without a delimiter every empty line would later pass for one.
  if (lLineLength == 0) scanerr::RaiseNoDelimiterLine();
  modWin32::RtlMoveMemory(abBoundary.data(), abLine.data(), static_cast<size_t>(lLineLength));
  lBoundaryLength = lLineLength;
  bBoundaryKnown = kTrue;
  lLineLength = 0;
}

int32_t UploadFile::nextLine() {
  const uint8_t* chunk = abChunk.get();
  uint8_t* line = abLine.data();
  const int32_t end = lChunkLength;
  int32_t start = lChunkPos;
  if (start >= end) return 0;

  const bool searching = lBoundaryLength != 0 && bInContent != 0;
  const int32_t boundaryLength = lBoundaryLength;
  // Line bytes a header-mode line may hold; the first line becomes the delimiter.
  const int32_t lineLimit = lBoundaryLength == 0 ? kBoundaryCapacity : kLineCapacity;
  auto raiseTooLong = [this] {
    if (lBoundaryLength == 0) scanerr::RaiseDelimiterLineTooLong();
    scanerr::RaiseHeaderLineTooLong();
  };

  // Content held back by earlier calls goes out in front of newer content.
  // A held-back CR LF and carried bytes (at most lBoundaryLength + 3 inside
  // content) go out in one write.
  auto writeHeldBack = [&] {
    const int32_t held = lLineLength;
    lLineLength = 0;
    if (bPendingCRLF) {
      bPendingCRLF = kFalse;
      std::array<uint8_t, kBoundaryCapacity + 8> joined;
      if (held == 0 || held + 2 > static_cast<int32_t>(joined.size())) {
        writeBytes(abCRLF.data(), 2, 0);
        if (held > 0) writeBytes(line, held, 0);
        return;
      }
      std::memcpy(joined.data(), abCRLF.data(), 2);
      std::memcpy(joined.data() + 2, line, static_cast<size_t>(held));
      writeBytes(joined.data(), held + 2, 0);
    } else if (held > 0) {
      writeBytes(line, held, 0);
    }
  };
  auto writeChunk = [&](int32_t from, int32_t count) {
    if (count > 0) writeBytes(chunk, count, from);
  };
  auto carry = [&](int32_t from, int32_t count) {
    if (count <= 0) return;
    modWin32::RtlMoveMemory(line + lLineLength, chunk + from, static_cast<size_t>(count));
    lLineLength += count;
  };
  auto isDelimiterLength = [boundaryLength](int32_t length) {
    return length == boundaryLength || length == boundaryLength + 2;
  };
  // Measures the line made of the `held` bytes of abLine followed by the
  // chunk from `from` (a line end precedes it): a delimiter line when it
  // begins with the delimiter and ends after lBoundaryLength or
  // lBoundaryLength + 2 bytes; undecided when the chunk ends first. Compares
  // at most lBoundaryLength bytes and stops at the first that differs; none
  // when the caller found the delimiter there already.
  auto measureProspect = [&](int32_t held, int32_t from, bool delimiterFound) -> Prospect {
    if (!delimiterFound) {
      const int32_t inLine = std::min(boundaryLength, held);
      if (bytesEqual(line, 0, abBoundary.data(), 0, inLine) != 0) return {Prospect::kNotDelimiter};
      const int32_t inChunk = std::min(boundaryLength - inLine, end - from);
      if (bytesEqual(abBoundary.data(), inLine, chunk, from, inChunk) != 0) return {Prospect::kNotDelimiter};
      if (inLine + inChunk < boundaryLength) return {Prospect::kUndecided};
    }
    const int32_t available = held + end - from;
    auto byteAt = [&](int32_t k) -> int32_t {
      if (k >= available) return -1;
      return k < held ? line[k] : chunk[from + k - held];
    };
    // The first line end after the delimiter's bytes decides: -1 unknown yet.
    auto lineEndsAt = [&](int32_t k) -> int32_t {
      const int32_t b = byteAt(k);
      if (b != kCR) return b < 0 ? -1 : 0;
      const int32_t next = byteAt(k + 1);
      return next < 0 ? -1 : next == kLF ? 1 : 0;
    };
    for (int32_t k = boundaryLength - 1; k <= boundaryLength + 2; ++k) {
      const int32_t ends = lineEndsAt(k);
      if (ends < 0) return {Prospect::kUndecided};
      if (ends == 0) continue;
      if (!isDelimiterLength(k)) return {Prospect::kNotDelimiter};
      return {Prospect::kDelimiterLine, from + k - held};
    }
    return {Prospect::kNotDelimiter};
  };

  // A CR that ended the previous chunk: the first byte here decides.
  if (bCRAtChunkEnd) {
    bCRAtChunkEnd = kFalse;
    if (chunk[start] == kLF) {
      lChunkPos = start + 1;
      if (!searching) return 1;
      // Inside content the line is handed over only as a delimiter line, by
      // the same rule as a line that lies in one chunk.
      if (bPendingCRLF && isDelimiterLength(lLineLength) &&
          bytesEqual(line, 0, abBoundary.data(), 0, boundaryLength) == 0) {
        return 1;
      }
      writeHeldBack();
      bPendingCRLF = kTrue;
      start += 1;
      if (start >= end) return 0;
    } else {
      if (!searching && lLineLength + 1 > lineLimit) raiseTooLong();
      line[lLineLength++] = kCR;
      // The CR is data. A line that may still be a delimiter line keeps it.
      if (searching && !(bPendingCRLF && lLineLength <= boundaryLength + 2)) writeHeldBack();
    }
  }

  const int32_t last = end - 1;
  const bool crAtEnd = chunk[last] == kCR;
  // Bytes of the current line up to the chunk end, leaving out a CR there
  // (its meaning is known only with the next chunk).
  const int32_t lineBytesTo = crAtEnd ? last : end;

  if (!searching) {
    // Header mode: one line per call. A line end farther away than the line
    // may be long is not looked for.
    const int32_t room = lineLimit - lLineLength;
    const int32_t searchTo = std::min(end, start + room + 2);
    const int32_t cr = FindLineEnd(chunk, start + 1, searchTo);
    if (cr >= 0) {
      carry(start, cr - start);
      lChunkPos = cr + 2;
      return 1;
    }
    if (searchTo < end || lineBytesTo - start > room) raiseTooLong();
    carry(start, lineBytesTo - start);
    bCRAtChunkEnd = crAtEnd ? kTrue : kFalse;
    lChunkPos = end;
    return 0;
  }

  // Delimiter search. A delimiter line follows a line end, so every one
  // inside the chunk is found by searching for CR LF and the delimiter;
  // only the line that began before this chunk (in abLine) is looked at on
  // its own. Each such prospect is then measured: it must end (CR LF) after
  // exactly lBoundaryLength or lBoundaryLength + 2 bytes.
  if (bPendingCRLF) {
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
      const void* found = memmem(chunk + from, static_cast<size_t>(end - from), needle.data(), needleLength);
      if (found == nullptr) break;
      const int32_t lineEndBefore = static_cast<int32_t>(static_cast<const uint8_t*>(found) - chunk);
      const int32_t lineStart = lineEndBefore + 2;
      const Prospect p = measureProspect(0, lineStart, true);
      if (p.kind == Prospect::kDelimiterLine) {
        writeHeldBack();
        writeChunk(start, lineEndBefore - start);
        bPendingCRLF = kTrue;  // the CR LF in front of the delimiter line
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
  const int32_t lastLineEnd = FindLastLineEnd(chunk, std::max(start, lineBytesTo - boundaryLength - 4), lineBytesTo);
  if (lastLineEnd >= 0) {
    writeHeldBack();
    writeChunk(start, lastLineEnd - start);
    bPendingCRLF = kTrue;
    carry(lastLineEnd + 2, lineBytesTo - lastLineEnd - 2);
  } else if (lLineLength + lineBytesTo - start <= boundaryLength + 2) {
    carry(start, lineBytesTo - start);  // no line end at all: the line goes on
  } else {
    writeHeldBack();
    writeChunk(start, lineBytesTo - start);
  }
  bCRAtChunkEnd = crAtEnd ? kTrue : kFalse;
  lChunkPos = end;
  return 0;
}

}  // namespace parcelmoor
