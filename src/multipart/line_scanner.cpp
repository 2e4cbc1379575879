// The line scanner: turns the pieces of the body given to Put into the lines
// handleLine works on.
//
// A line ends where CR is immediately followed by LF. The scanner never
// steps through the bytes one by one. In header mode it looks for LF with
// memchr and at the byte before it, and hands over one line per call. Inside
// a part's content only a delimiter line matters; content_search.cpp finds
// those and hands over the content around them.
//
// What a piece border cuts is carried in the parser's state: the beginning
// of a line in abLine (inside content at most lBoundaryLength + 2 bytes, and
// only while the line could still be a delimiter line), a CR at the piece end
// whose meaning the next byte decides (bCRAtChunkEnd), and a CR LF that ended
// a content line but is not handed over yet (bPendingCRLF). So the same body
// gives the same lines and the same content however it is cut.

#include <algorithm>
#include <array>
#include <cstring>

#include "multipart/multipart_parser.h"

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

}  // namespace

MultipartParser::MultipartParser(MultipartConsumer& consumer) : consumer_(consumer) {}

size_t MultipartParser::Put(std::span<const uint8_t> bytes) {
  if (stopped_ || bytes.empty()) return 0;
  // Pieces beyond 2 GiB are taken in parts: positions are 32-bit.
  constexpr size_t kMostAtOnce = 1u << 30;
  size_t taken = 0;
  try {
    while (taken < bytes.size() && !stopped_) {
      const size_t count = std::min(bytes.size() - taken, kMostAtOnce);
      abChunk = bytes.data() + taken;
      lChunkLength = static_cast<int32_t>(count);
      lChunkPos = 0;
      if (!bBoundaryKnown) captureBoundary();
      while (lChunkPos < lChunkLength && running()) {
        if (nextLine() == 1 && running()) handleLine();
      }
      taken += static_cast<size_t>(lChunkPos);
    }
  } catch (...) {
    stopped_ = true;
    abChunk = nullptr;
    throw;
  }
  abChunk = nullptr;
  return taken;
}

void MultipartParser::captureBoundary() {
  if (nextLine() == 0) return;  // the first line continues in the next piece
  // Without a delimiter every empty line would later pass for one.
  if (lLineLength == 0) {
    refusal_ = MultipartRefusal::kNoDelimiterLine;
    stopped_ = true;
    return;
  }
  std::memcpy(abBoundary.data(), abLine.data(), static_cast<size_t>(lLineLength));
  lBoundaryLength = lLineLength;
  bBoundaryKnown = true;
  lLineLength = 0;
  consumer_.OnPartBegin();
}

int32_t MultipartParser::nextLine() {
  if (lChunkPos >= lChunkLength) return 0;
  if (bCRAtChunkEnd && takeCarriedCR() == 1) return 1;
  if (lChunkPos >= lChunkLength || !running()) return 0;
  const bool searching = lBoundaryLength != 0 && bInContent;
  return searching ? nextContentLine() : nextHeaderLine();
}

void MultipartParser::refuseLongLine() {
  // A header-mode line too long for its buffer; the first line is the delimiter.
  refusal_ = lBoundaryLength == 0 ? MultipartRefusal::kDelimiterLineTooLong : MultipartRefusal::kHeaderLineTooLong;
  stopped_ = true;
}

int32_t MultipartParser::takeCarriedCR() {
  const bool searching = lBoundaryLength != 0 && bInContent;
  const int32_t boundaryLength = lBoundaryLength;
  uint8_t* line = abLine.data();
  bCRAtChunkEnd = false;
  if (abChunk[lChunkPos] == kLF) {
    lChunkPos += 1;
    if (!searching) return 1;
    // Inside content the line is handed over only as a delimiter line, by
    // the same rule as a line that lies in one piece.
    const bool delimiterLength = lLineLength == boundaryLength || lLineLength == boundaryLength + 2;
    if ((bPendingCRLF || atContentStart_) && delimiterLength &&
        std::memcmp(line, abBoundary.data(), static_cast<size_t>(boundaryLength)) == 0) {
      return 1;
    }
    writeHeldBack();
    bPendingCRLF = true;
    return 0;
  }
  const int32_t lineLimit = boundaryLength == 0 ? kBoundaryCapacity : kLineCapacity;
  if (!searching && lLineLength + 1 > lineLimit) {
    refuseLongLine();
    return 0;
  }
  line[lLineLength++] = kCR;
  // The CR is data. A line that may still be a delimiter line keeps it.
  const bool mayBeDelimiter = bPendingCRLF || atContentStart_;
  if (searching && !(mayBeDelimiter && lLineLength <= boundaryLength + 2)) writeHeldBack();
  return 0;
}

int32_t MultipartParser::nextHeaderLine() {
  const uint8_t* chunk = abChunk;
  const int32_t start = lChunkPos;
  const int32_t end = lChunkLength;
  // Line bytes a header-mode line may hold; the first line becomes the delimiter.
  const int32_t lineLimit = lBoundaryLength == 0 ? kBoundaryCapacity : kLineCapacity;
  // A CR at the piece end is not part of the line yet: the next piece decides.
  const bool crAtEnd = chunk[end - 1] == kCR;
  const int32_t lineBytesTo = crAtEnd ? end - 1 : end;

  // One line per call. A line end farther away than the line may be long is
  // not looked for.
  const int32_t room = lineLimit - lLineLength;
  const int32_t searchTo = std::min(end, start + room + 2);
  const int32_t cr = FindLineEnd(chunk, start + 1, searchTo);
  if (cr >= 0) {
    carry(start, cr - start);
    lChunkPos = cr + 2;
    return 1;
  }
  if (searchTo < end || lineBytesTo - start > room) {
    refuseLongLine();
    return 0;
  }
  carry(start, lineBytesTo - start);
  bCRAtChunkEnd = crAtEnd;
  lChunkPos = end;
  return 0;
}

void MultipartParser::carry(int32_t from, int32_t count) {
  if (count <= 0) return;
  std::memcpy(abLine.data() + lLineLength, abChunk + from, static_cast<size_t>(count));
  lLineLength += count;
}

void MultipartParser::writeHeldBack() {
  // Content held back by earlier calls goes out in front of newer content.
  // A held-back CR LF and carried bytes (at most lBoundaryLength + 3 inside
  // content) go out in one piece.
  const int32_t held = lLineLength;
  const uint8_t* line = abLine.data();
  lLineLength = 0;
  if (!bPendingCRLF) {
    if (held > 0) writeBytes(line, held, 0);
    return;
  }
  bPendingCRLF = false;
  std::array<uint8_t, kBoundaryCapacity + 8> joined;
  if (held == 0 || held + 2 > static_cast<int32_t>(joined.size())) {
    writeBytes(abCRLF.data(), 2, 0);
    if (held > 0) writeBytes(line, held, 0);
    return;
  }
  std::memcpy(joined.data(), abCRLF.data(), 2);
  std::memcpy(joined.data() + 2, line, static_cast<size_t>(held));
  writeBytes(joined.data(), held + 2, 0);
}

void MultipartParser::writeBytes(const uint8_t* buffer, int32_t count, int32_t start) {
  if (count <= 0 || stopped_) return;
  atContentStart_ = false;
  consumer_.OnContent(std::span<const uint8_t>(buffer + start, static_cast<size_t>(count)));
}

}  // namespace parcelmoor
