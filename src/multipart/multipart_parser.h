#pragma once
// A multipart body parser that is pushed bytes and does no I/O: it finds the
// delimiter line, the lines of each part's headers and the content between
// delimiter lines, and tells a consumer what it found. Whoever reads the body
// (the upload object's pull loop, an event loop, a resumable transfer) feeds
// it the bytes in pieces of any size; the same body gives the same events
// however it is cut, but for content, which may come in more or fewer pieces.
//
// The first line of the body is the delimiter. A later line is a delimiter
// line when it begins with the delimiter and is exactly as long (a part
// follows) or two bytes longer (the close delimiter, whatever the two bytes
// are). Within a part, a line of at least 20 bytes that begins with
// "content-disposition" (any letter case) is handed over whole, one of at
// least 13 bytes that begins with "content-type" gives its value; the blank
// line after either of them starts the content. Other header lines are
// dropped. Lines after the close delimiter are read as the headers of a part.
//
// One parser reads one body, on one thread. Nothing of the consumer's is
// owned; every view handed to the consumer is valid during the call only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace parcelmoor {

// What the parser found, in body order.
class MultipartConsumer {
 public:
  virtual ~MultipartConsumer() = default;
  // A delimiter line (the body's first line included) opens a part.
  virtual void OnPartBegin() = 0;
  // A Content-Disposition line, whole, without its line end.
  virtual void OnDisposition(std::string_view headerLine) = 0;
  // A Content-Type line's value: what follows its first colon, without the
  // spaces and tabs around it (the whole line when it has no colon).
  virtual void OnContentType(std::string_view value) = 0;
  // The blank line that ends a part's headers: content follows.
  virtual void OnHeadersComplete() = 0;
  // The next bytes of the current part's content: a view into the bytes
  // given to Put where it can be, else into the parser's own carried bytes.
  // Never empty.
  virtual void OnContent(std::span<const uint8_t> bytes) = 0;
  // A delimiter line ends the current part (comes before OnPartBegin or
  // OnBodyEnd for every delimiter line but the first).
  virtual void OnPartEnd() = 0;
  // The close delimiter line.
  virtual void OnBodyEnd() = 0;
};

// Why the parser refused the body; once refused it reads nothing more.
enum class MultipartRefusal {
  kNone,
  kNoDelimiterLine,        // the first line is empty
  kDelimiterLineTooLong,   // the first line is longer than kBoundaryCapacity
  kHeaderLineTooLong,      // a header line is longer than kLineCapacity
};

class MultipartParser {
 public:
  static constexpr int32_t kBoundaryCapacity = 1024;
  static constexpr int32_t kLineCapacity = 2048;

  // REQUIRES: `consumer` outlives the parser.
  explicit MultipartParser(MultipartConsumer& consumer);

  // Parses `bytes` and returns how many it took: all of them, unless the
  // body was refused or the consumer called Stop() (then the bytes up to
  // where it stopped). Once stopped or refused, takes nothing. An exception
  // from the consumer passes through and leaves the parser stopped.
  size_t Put(std::span<const uint8_t> bytes);
  // Asks the parser to hand over nothing more; a consumer calls it from an
  // event (a limit crossed). The current Put returns after that event.
  void Stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }
  MultipartRefusal refusal() const { return refusal_; }

 private:
  // The body's first line becomes the delimiter once it is whole.
  void captureBoundary();
  // Returns 1 with the next line in abLine (lLineLength bytes) and
  // lChunkPos past it, or 0 with the chunk consumed and its tail carried.
  int32_t nextLine();
  // The first byte of a chunk after one that ended in CR: returns 1 when
  // that CR ended a line to hand over, 0 to go on scanning from lChunkPos.
  int32_t takeCarriedCR();
  // Header mode: returns 1 with one header line in abLine, or 0 with the
  // chunk's tail carried; refuses an over-long line.
  int32_t nextHeaderLine();
  // Content mode: hands over content up to the next delimiter line and
  // returns 1 with that line in abLine, or hands over what cannot begin one
  // and returns 0.
  int32_t nextContentLine();
  // Acts on the line in abLine: a delimiter line ends the part, header lines
  // are recognised, a blank line after them starts the content.
  void handleLine();
  void handleHeaderLine(const uint8_t* line, int32_t n);
  // Hands over the held-back CR LF and the carried line bytes, leaving none.
  void writeHeldBack();
  // Hands bytes[start, start + count) to the consumer as content.
  void writeBytes(const uint8_t* buffer, int32_t count, int32_t start);
  // Appends chunk[from, from + count) to the carried line bytes.
  void carry(int32_t from, int32_t count);
  // Records the refusal for an over-long line in header mode.
  void refuseLongLine();
  // Whether the `held` carried bytes followed by the chunk from `from` begin
  // a delimiter line; see content_search.cpp. Changes nothing.
  struct Prospect;
  Prospect measureProspect(int32_t held, int32_t from, bool delimiterFound) const;
  // The loop goes on while neither the consumer nor a refusal stopped it.
  bool running() const { return !stopped_; }

  static constexpr std::array<uint8_t, 2> abCRLF = {13, 10};

  MultipartConsumer& consumer_;

  // The bytes of the current Put: a view of the caller's buffer.
  const uint8_t* abChunk = nullptr;
  int32_t lChunkLength = 0;
  int32_t lChunkPos = 0;

  // The delimiter, and what a chunk border cut.
  bool bBoundaryKnown = false;
  int32_t lBoundaryLength = 0;
  std::array<uint8_t, kBoundaryCapacity> abBoundary{};
  std::array<uint8_t, kLineCapacity> abLine{};
  int32_t lLineLength = 0;
  // A CR ended the last chunk; the next byte decides whether it ends a line.
  bool bCRAtChunkEnd = false;
  // A CR LF that ended a content line is held back until the next line is
  // known not to be a delimiter line.
  bool bPendingCRLF = false;
  // Inside a part's content.
  bool bInContent = false;
  // Nothing of the current part's content has been handed over yet: the
  // line that begins right after the headers' blank line may be a delimiter
  // line although no line end of the content precedes it.
  bool atContentStart_ = false;
  // Where in a part's headers the parser is (see PartState).
  int32_t lPartState = 0;

  bool stopped_ = false;
  MultipartRefusal refusal_ = MultipartRefusal::kNone;
};

}  // namespace parcelmoor
