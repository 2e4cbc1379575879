#pragma once
// The CGI/1.1 adapter: answers one request that a web server hands over
// through meta-variables, the body on an input descriptor and the response
// on an output descriptor. GET and HEAD answer the upload page; POST runs the
// upload page, reading the body never past CONTENT_LENGTH.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "host/authorization.h"
#include "host/request_policy.h"
#include "host/upload_handoff.h"

namespace parcelmoor {

struct CgiOptions {
  UploadSettings upload;
  // Set (from a signal handler, say) when the web server asks the program to
  // end: the upload ends as if its client had gone. A blocked read must be
  // interruptible (a handler installed without SA_RESTART).
  const std::atomic<bool>* stopRequested = nullptr;
  // When set, each stored upload is handed to the application (see
  // host/upload_handoff.h), whose answer becomes the response.
  ApplicationCall handoff;
  // When set, asked before the body is read (see host/authorization.h).
  std::shared_ptr<const Authorization> authorization;
};

// Looks a meta-variable up; nullptr when it is not set.
using CgiEnvironment = std::function<const char*(const char* name)>;

// Answers one request: writes the CGI response (Status and Content-Type
// lines, a blank line, the body) to `outFd` and logs one line on standard
// error. Returns the status answered. A POST without CONTENT_LENGTH is
// answered 411 and its body is not read. A body that ends before
// CONTENT_LENGTH counts as a client that has gone.
int AnswerCgiRequest(const CgiEnvironment& env, int inFd, int outFd, const CgiOptions& options);

}  // namespace parcelmoor
