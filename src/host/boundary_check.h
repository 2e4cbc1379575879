#pragma once
// The check that a body begins with the delimiter its Content-Type names,
// made before the upload component sees any byte of it. A body whose first
// line is something else would otherwise be split at whatever that line
// holds.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/page_runner.h"
#include "upload/host_interfaces.h"

namespace parcelmoor {

// The boundary parameter of a multipart/form-data Content-Type: the type
// and the parameter's name in any case, the value with its quotes removed
// (a backslash in quotes takes the next character as it is). nullopt when
// the type is another, or the boundary is missing, empty or has an
// unclosed quote.
std::optional<std::string> FormDataBoundary(std::string_view contentType);

// The request and scripting context of a page, wrapped: the response is the
// wrapped one's; the body is the wrapped one's when it begins with "--",
// the boundary, then CR LF or "--". Only those bytes are read ahead, at the
// first TotalBytes or BinaryRead, and handed on first; the rest is read as
// asked. Any other body is an empty one (TotalBytes 0), and mismatch() says
// so. A read failure while reading ahead is raised once the bytes read
// ahead have been handed on.
class BoundaryCheck final : public ScriptingContext, public HostRequest {
 public:
  BoundaryCheck(std::shared_ptr<ScriptingContext> wrapped, std::string_view boundary);

  std::shared_ptr<HostRequest> Request() override;
  std::shared_ptr<HostResponse> Response() override { return wrapped_->Response(); }
  int64_t TotalBytes() override;
  size_t BinaryRead(uint8_t* into, size_t count) override;
  // Once the bytes read ahead are handed on, the wrapped request's own.
  std::span<const uint8_t> ReadBody(uint8_t* scratch, size_t count) override;

  // The body's first bytes were read and are not the delimiter line.
  bool mismatch() const { return mismatch_; }

 private:
  void ReadAhead();

  std::shared_ptr<ScriptingContext> wrapped_;
  std::shared_ptr<HostRequest> request_;
  std::string expected_;  // "--" + boundary
  std::string ahead_;     // bytes read ahead, not yet handed on
  size_t handed_ = 0;
  std::exception_ptr readFailure_;
  bool checked_ = false;
  bool mismatch_ = false;
};

// Runs the upload page (host/page_runner.h) on `host`'s body checked
// against `boundary`; a mismatch leaves PageResult::boundaryMismatch set and
// nothing parsed or stored.
PageResult RunCheckedUploadPage(const std::shared_ptr<ScriptingContext>& host, std::string_view boundary,
                                const UploadSettings& settings, const CommitDecision& decide = {});

}  // namespace parcelmoor
