#pragma once
// What a host sends back for a request: the status, the content type and the
// body, for the upload page, for a page result and for a refused request.
// Shared by the HTTP server and the CGI adapter so that both answer alike.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/page_runner.h"

namespace parcelmoor {

struct PageAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  // Further headers, lower-case names (an application's Set-Cookie, ...).
  std::vector<std::pair<std::string, std::string>> headers = {};
};

// True when an Accept header value asks for application/json at least as
// much as for text/html (q-values honoured; wildcards do not count).
bool AcceptsJson(std::string_view accept);

// The word answers use for a file's outcome: "stored", "cut", "deleted",
// "failed", "no file", "refused", "not stored".
const char* OutcomeName(FileOutcome outcome);

// The standard reason phrase of an HTTP status ("Length Required").
const char* ReasonPhrase(int status);

// The upload page itself, telling the limits in `limits` before upload.
PageAnswer AnswerUploadPage(std::string_view limits = {});

// The result of a page run, with the status of host/failure_reason.h (200,
// 400, 413, 500, 507); JSON when `json`, else the HTML result page. Never
// throws: when the answer cannot be built (out of memory), a short one says
// so with the same status and the count of files kept, so an upload that
// stored files is never reported as a server failure.
PageAnswer AnswerPageResult(const PageResult& page, bool json);

// A refused request (404, 405, 411, 413, 431, 503, ...): a short text that
// says why, in JSON when `json`.
PageAnswer AnswerRefusal(int status, std::string_view why, bool json);

}  // namespace parcelmoor
