#pragma once
// One line per request on standard error, written with a single write so
// that lines of simultaneous requests never interleave:
//   2026-12-07T10:11:12.345Z 127.0.0.1:40312 POST / 200 body=1048576 items=3 files=2/2 0.042s
// (files: stored of carried)
// followed, when parsing of the body failed, by
//   failure=<number> "<description>"
// then by one word naming a failed upload's outcome (field-too-large,
// too-many-parts, malformed, disk-full, no-directory, ...), and by a note
// such as client-gone or header-timeout when there is one.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/page_runner.h"

namespace parcelmoor {

// What the log shows of an upload page's run.
struct UploadLog {
  int64_t bodyBytes = 0;
  int64_t items = 0;
  int32_t filesStored = 0;
  int64_t filesCarried = 0;
  std::optional<ErrorReport> parseFailure;
  std::string outcome;  // one word when the upload failed: field-too-large, disk-full, ...
};

struct RequestLogEntry {
  std::chrono::system_clock::time_point start;
  std::string peer;    // "127.0.0.1:40312"; "-" when unknown
  std::string method;  // "-" when no request line was read
  std::string path;
  int status = 0;      // 0: no response was sent
  UploadLog upload;
  std::chrono::steady_clock::duration duration{};
  std::string note;
};

std::string FormatRequestLog(const RequestLogEntry& entry);
void WriteRequestLog(const RequestLogEntry& entry);

// The same fields as one JSON object on a line, for log shippers:
//   {"time":"2026-12-07T10:11:12.345Z","event":"request","client":"127.0.0.1:40312",
//    "method":"POST","path":"/","route":"/","status":200,"body":1048576,"items":3,
//    "filesStored":2,"filesCarried":2,"seconds":0.042,"failure":null,"outcome":null,"note":null}
// `status` is null when no answer was sent; `failure` is {"number","description"}.
std::string FormatRequestLogJson(const RequestLogEntry& entry, std::string_view route);

// A server event (start, stop, a failure) as a log line: "parcelmoor serve:
// MESSAGE" in text, or {"time","event","message"} plus `fields` (each a
// name and an already-encoded JSON value) in JSON.
std::string FormatLogEvent(bool json, std::string_view event, std::string_view message,
                           const std::vector<std::pair<std::string, std::string>>& fields = {});

}  // namespace parcelmoor
