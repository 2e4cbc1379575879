// Part recognition: what each line means for the part being read. A
// delimiter line ends the part, a Content-Disposition or Content-Type line is
// handed over, the blank line after them starts the content.

#include <cstring>
#include <string_view>

#include "multipart/multipart_parser.h"
#include "multipart/part_state.h"

namespace parcelmoor {
namespace {

constexpr char abContentDisposition[] = "content-disposition";
constexpr char abContentType[] = "content-type";
constexpr int32_t kDispositionNameLength = 19;  // "content-disposition"
constexpr int32_t kContentTypeNameLength = 12;  // "content-type"

// Whether line[0, count) is `pattern` with its letters in either case.
// Folding looks only at the pattern byte's range: 65..122 also accepts the
// byte 32 below it, which makes an upper-case letter match a lower-case one.
bool matchBytes(const char* pattern, const uint8_t* line, int32_t count) {
  for (int32_t j = 0; j < count; ++j) {
    const auto p = static_cast<uint8_t>(pattern[j]);
    const uint8_t l = line[j];
    if (p == l) continue;
    if (p >= 65 && p <= 122 && l == p - 32) continue;
    return false;
  }
  return true;
}

// The value of a header line: after its first colon, without the spaces
// and tabs around it.
std::string_view HeaderValue(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) line.remove_prefix(colon + 1);
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = line.find_last_not_of(" \t");
  return line.substr(first, last - first + 1);
}

}  // namespace

void MultipartParser::handleLine() {
  const int32_t n = lLineLength;
  const uint8_t* line = abLine.data();

  // The blank line that ends a part's headers counts only after a
  // Content-Disposition or Content-Type line.
  if ((lPartState == kAfterDisposition || lPartState == kAfterContentType) && n == 0) {
    lPartState = kNoHeaderYet;
    bInContent = true;
    atContentStart_ = true;
    bPendingCRLF = false;
    consumer_.OnHeadersComplete();
    return;
  }

  // A delimiter line (or the close delimiter, two bytes longer) ends the part,
  // inside content and outside.
  if ((n == lBoundaryLength || n == lBoundaryLength + 2) &&
      std::memcmp(abBoundary.data(), line, static_cast<size_t>(lBoundaryLength)) == 0) {
    bPendingCRLF = false;  // the line break in front of the delimiter is not content
    bInContent = false;
    atContentStart_ = false;
    lPartState = kAfterDelimiter;
    lLineLength = 0;
    consumer_.OnPartEnd();
    if (stopped_) return;
    if (n == lBoundaryLength) {
      consumer_.OnPartBegin();
    } else {
      consumer_.OnBodyEnd();
    }
    return;
  }

  if (!bInContent) {
    lLineLength = 0;  // every header line is used up here
    handleHeaderLine(line, n);
    return;
  }

  // A content line: handed over only when its CR and LF fell into two pieces.
  if (bPendingCRLF) writeBytes(abCRLF.data(), 2, 0);
  bPendingCRLF = true;
  if (n > 0) {
    writeBytes(line, n, 0);
    lLineLength = 0;
  }
}

void MultipartParser::handleHeaderLine(const uint8_t* line, int32_t n) {
  const std::string_view header(reinterpret_cast<const char*>(line), static_cast<size_t>(n));
  if (n > kDispositionNameLength && matchBytes(abContentDisposition, line, kDispositionNameLength)) {
    bPendingCRLF = false;
    lPartState = kAfterDisposition;
    consumer_.OnDisposition(header);
  } else if (n > kContentTypeNameLength && matchBytes(abContentType, line, kContentTypeNameLength)) {
    lPartState = kAfterContentType;
    consumer_.OnContentType(HeaderValue(header));
  }
  // Any other header line, blank ones included, is dropped.
}

}  // namespace parcelmoor
