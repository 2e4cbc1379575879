// The line scanner: turns the chunks of the request body into the lines the
// part state machine works on.
//
// A line ends where CR is immediately followed by LF. The scanner never
// steps through the bytes one by one. In header mode it looks for LF with
// memchr and at the byte before it, and hands over one line per call. Inside
// a part's content only a delimiter line matters; content_search.cpp finds
// those and writes the content around them.
//
// What a chunk border cuts is carried in the scanner's state: the beginning
// of a line in abLine (inside content at most lBoundaryLength + 2 bytes, and
// only while the line could still be a delimiter line), a CR at the chunk end
// whose meaning the next byte decides (bCRAtChunkEnd), and a CR LF that ended
// a content line but is not written yet (bPendingCRLF). So the same body
// gives the same lines and the same content however the reads cut it.
//
// Errors raised by handleLine and writeBytes pass through unchanged.

#include <algorithm>
#include <array>
#include <cstring>

#include "storage/upload_errors.h"
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

// A header-mode line too long for its buffer; the first line is the delimiter.
[[noreturn]] void RaiseLineTooLong(bool delimiterKnown) {
  if (!delimiterKnown) uploaderr::RaiseDelimiterLineTooLong();
  uploaderr::RaiseHeaderLineTooLong();
}

}  // namespace

void UploadFile::processChunk() {
  if (!scan_.bBoundaryKnown) captureBoundary();
  while (body_.lChunkPos < body_.lChunkLength) {
    if (nextLine() == 1) handleLine();
  }
}

void UploadFile::captureBoundary() {
  if (scan_.bBoundaryKnown) return;
  if (nextLine() == 0) return;  // the first line continues in the next chunk
  // Without a delimiter every empty line would later pass for one.
  if (scan_.lLineLength == 0) uploaderr::RaiseNoDelimiterLine();
  modWin32::RtlMoveMemory(scan_.abBoundary.data(), scan_.abLine.data(), static_cast<size_t>(scan_.lLineLength));
  scan_.lBoundaryLength = scan_.lLineLength;
  scan_.bBoundaryKnown = kTrue;
  scan_.lLineLength = 0;
  countPart();
}

int32_t UploadFile::nextLine() {
  if (body_.lChunkPos >= body_.lChunkLength) return 0;
  if (scan_.bCRAtChunkEnd && takeCarriedCR() == 1) return 1;
  if (body_.lChunkPos >= body_.lChunkLength) return 0;
  const bool searching = scan_.lBoundaryLength != 0 && scan_.bInContent != 0;
  return searching ? nextContentLine() : nextHeaderLine();
}

int32_t UploadFile::takeCarriedCR() {
  const bool searching = scan_.lBoundaryLength != 0 && scan_.bInContent != 0;
  const int32_t boundaryLength = scan_.lBoundaryLength;
  uint8_t* line = scan_.abLine.data();
  scan_.bCRAtChunkEnd = kFalse;
  if (body_.abChunk[body_.lChunkPos] == kLF) {
    body_.lChunkPos += 1;
    if (!searching) return 1;
    // Inside content the line is handed over only as a delimiter line, by
    // the same rule as a line that lies in one chunk.
    const bool delimiterLength = scan_.lLineLength == boundaryLength || scan_.lLineLength == boundaryLength + 2;
    if ((scan_.bPendingCRLF || scan_.atContentStart_) && delimiterLength &&
        bytesEqual(line, 0, scan_.abBoundary.data(), 0, boundaryLength) == 0) {
      return 1;
    }
    writeHeldBack();
    scan_.bPendingCRLF = kTrue;
    return 0;
  }
  const int32_t lineLimit = boundaryLength == 0 ? kBoundaryCapacity : kLineCapacity;
  if (!searching && scan_.lLineLength + 1 > lineLimit) RaiseLineTooLong(boundaryLength != 0);
  line[scan_.lLineLength++] = kCR;
  // The CR is data. A line that may still be a delimiter line keeps it.
  const bool mayBeDelimiter = scan_.bPendingCRLF || scan_.atContentStart_;
  if (searching && !(mayBeDelimiter && scan_.lLineLength <= boundaryLength + 2)) writeHeldBack();
  return 0;
}

int32_t UploadFile::nextHeaderLine() {
  const uint8_t* chunk = body_.abChunk.get();
  const int32_t start = body_.lChunkPos;
  const int32_t end = body_.lChunkLength;
  // Line bytes a header-mode line may hold; the first line becomes the delimiter.
  const int32_t lineLimit = scan_.lBoundaryLength == 0 ? kBoundaryCapacity : kLineCapacity;
  // A CR at the chunk end is not part of the line yet: the next chunk decides.
  const bool crAtEnd = chunk[end - 1] == kCR;
  const int32_t lineBytesTo = crAtEnd ? end - 1 : end;

  // One line per call. A line end farther away than the line may be long is
  // not looked for.
  const int32_t room = lineLimit - scan_.lLineLength;
  const int32_t searchTo = std::min(end, start + room + 2);
  const int32_t cr = FindLineEnd(chunk, start + 1, searchTo);
  if (cr >= 0) {
    carry(start, cr - start);
    body_.lChunkPos = cr + 2;
    return 1;
  }
  if (searchTo < end || lineBytesTo - start > room) RaiseLineTooLong(scan_.lBoundaryLength != 0);
  carry(start, lineBytesTo - start);
  scan_.bCRAtChunkEnd = crAtEnd ? kTrue : kFalse;
  body_.lChunkPos = end;
  return 0;
}

void UploadFile::carry(int32_t from, int32_t count) {
  if (count <= 0) return;
  modWin32::RtlMoveMemory(scan_.abLine.data() + scan_.lLineLength, body_.abChunk.get() + from,
                          static_cast<size_t>(count));
  scan_.lLineLength += count;
}

void UploadFile::writeHeldBack() {
  // Content held back by earlier calls goes out in front of newer content.
  // A held-back CR LF and carried bytes (at most lBoundaryLength + 3 inside
  // content) go out in one write.
  const int32_t held = scan_.lLineLength;
  const uint8_t* line = scan_.abLine.data();
  scan_.lLineLength = 0;
  if (!scan_.bPendingCRLF) {
    if (held > 0) writeBytes(line, held, 0);
    return;
  }
  scan_.bPendingCRLF = kFalse;
  std::array<uint8_t, kBoundaryCapacity + 8> joined;
  if (held == 0 || held + 2 > static_cast<int32_t>(joined.size())) {
    writeBytes(scan_.abCRLF.data(), 2, 0);
    if (held > 0) writeBytes(line, held, 0);
    return;
  }
  std::memcpy(joined.data(), scan_.abCRLF.data(), 2);
  std::memcpy(joined.data() + 2, line, static_cast<size_t>(held));
  writeBytes(joined.data(), held + 2, 0);
}

}  // namespace parcelmoor
