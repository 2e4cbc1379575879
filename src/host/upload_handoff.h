#pragma once
// Hands a stored upload to the user's own application, which decides what
// becomes of it: the host posts the upload's JSON report (never the body) to
// the application, and the application's answer goes back to the client.
// When the application refuses the upload or cannot be asked, the files the
// upload stored are deleted, so that nothing is kept that nobody accepted.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/page_answer.h"
#include "host/page_runner.h"

namespace parcelmoor {

// What the application is told besides the report: enough of the client's
// request to authenticate and route it.
struct HandoffRequest {
  std::string reportJson;     // the upload's JSON report
  std::string originalTarget; // the client's path and query
  std::string cookie;         // the client's Cookie header, if any
  std::string authorization;  // the client's Authorization header, if any
  std::string forwardedFor;   // X-Forwarded-For to send: earlier hops, then the client
  std::string method;         // the client's method
  std::string contentType;    // the client's Content-Type
  int64_t contentLength = 0;  // the body length the client announced
  // Headers the authorization answer asked to pass on to the hand-off
  // (Parcelmoor-Forward-*, names lower case).
  std::vector<std::pair<std::string, std::string>> forwardHeaders = {};
};

// The application's answer. `reached` is false when it could not be asked;
// `timedOut` tells a missing answer from a refused connection, and
// `connected` one the application closed without answering.
struct HandoffAnswer {
  bool reached = false;
  bool timedOut = false;
  bool connected = false;
  std::string failure;  // why it could not be asked, for the log
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers = {};
  std::string body = {};
};

// Sends one request to the application and waits for its answer. Must not
// throw for network failures: they come back as `reached == false`.
using ApplicationCall = std::function<HandoffAnswer(const HandoffRequest&)>;

// Decides the answer to an upload that `own` would otherwise answer, whose
// files wait uncommitted at their records' pendingPath. Uploads the host
// already refuses (non-2xx) are answered as they are; the rest are handed to
// `call`. `accepted` says whether the application took the upload (a 2xx
// answer): only then may its files be committed. `note` receives what the
// log should say ("app-refused", "app-unreachable", "app-closed",
// "app-timeout") or stays as it is.
PageAnswer HandOffUpload(const PageResult& page, PageAnswer own, const HandoffRequest& request,
                         const ApplicationCall& call, std::string& note, bool& accepted);

// Files of `page` that waited for the application and are no longer where
// they waited: the application took them (moved them away) while deciding.
int32_t FilesTakenByApplication(const PageResult& page);

}  // namespace parcelmoor
