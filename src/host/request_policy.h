#pragma once
// The rules every host applies to an upload request, so that `serve` and
// `cgi` answer alike: which methods are served, which requests are refused
// before their body is read (405, 411, 413), and how a page run becomes an
// answer and a log line.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/page_answer.h"
#include "host/page_runner.h"
#include "host/request_log.h"
#include "host/upload_settings.h"

namespace parcelmoor {

// The client the log names: `peer` ("addr:port", "[v6]:port" or "addr") as
// it is, or, when its address is a trusted proxy, the last address its
// X-Forwarded-For names.
std::string ClientForLog(std::string_view peer, std::string_view forwardedFor, const UploadSettings& settings);

// What a host knows of a request once its header is read.
struct RequestHead {
  std::string_view method;  // "GET", "POST", ...
  // The announced body length as sent; nullopt when there is none (or the
  // body is chunked).
  std::optional<std::string_view> contentLength;
  std::string_view accept;  // the Accept header, for JSON or HTML answers
  std::string_view contentType;  // the Content-Type header
};

// The policy's verdict on a request head.
struct RequestVerdict {
  // Set: send this and read no body. Unset: run the upload page.
  std::optional<PageAnswer> answer;
  bool headOnly = false;         // HEAD: send the answer's headers only
  const char* allow = nullptr;   // the Allow header of a 405
  bool json = false;             // answers are JSON rather than HTML
  int64_t bodyLength = 0;        // the body's length when the page runs
  std::string boundary;          // the Content-Type's boundary when the page runs
};

// Judges a request for the upload page: GET and HEAD get the page (which
// states the limits), POST runs the upload when it is multipart/form-data
// with a boundary (else 415) and announces a length (else 411) within the
// limit (else 413); any other method is refused (405). An admitted upload
// goes on with RunUploadRequest (host/request_pipeline.h).
RequestVerdict JudgeRequest(const RequestHead& head, const UploadSettings& settings);

// What a host adapter tells the policy once the page has run.
struct BodyOutcome {
  int64_t received = 0;  // body bytes read
  std::string note;      // one word for the log (client-gone, ...), or empty
  std::string written;   // all text written to the host response
};

// An upload's answer and what the log shows of it.
struct UploadAnswer {
  PageAnswer answer;
  UploadLog log;
  std::string note;
};

// Makes the answer and the log's part from a page run and the adapter's side.
UploadAnswer AnswerUpload(PageResult& page, BodyOutcome outcome, bool json);

// Takes the outcome from a host adapter with received(), note() and
// written() (whose text it moves out).
template <class Host>
BodyOutcome TakeOutcome(Host& host) {
  return BodyOutcome{host.received(), host.note(), std::move(host.written())};
}

}  // namespace parcelmoor
