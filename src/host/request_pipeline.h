#pragma once
// The one path an upload request takes through any host, `serve` and `cgi`
// alike:
//
//   1. policy     JudgeRequest (request_policy.h) on the header alone: the
//                 page, a refusal, or an admitted upload. No body byte read.
//   1b. authorize when configured, the token and the application decide
//                 (authorization.h), still before any body byte is read;
//                 `serve` does so on its event loop, `cgi` in step 2's call.
//   2. page run   the upload page on the body (RunCheckedUploadPage), with
//                 the settings' part policy; the body is read here and only
//                 here.
//   3. body ended the transport is told (serve frees the upload slot).
//   4. records    an upload the host itself fails is withdrawn when a hand-off
//                 is configured; the answer and log fields are made.
//   5. hand-off   a 2xx upload goes to the application, whose answer wins.
//   6. answer     sent by the transport; the host writes the log line.
//
// A host brings its transport: how the body is read, what the client's
// request says for the application, and (for a host that answers on the
// calling thread) how the answer is sent. `serve` runs step 1 and 6 on its
// event loop and RunUploadRequest (2-5) on the upload's thread; `cgi` runs
// AnswerRequest (1-6) at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/authorization.h"
#include "host/request_policy.h"
#include "host/upload_handoff.h"
#include "host/upload_settings.h"
#include "upload/host_interfaces.h"

namespace parcelmoor {

// How a host reads an admitted upload's body and what it learns doing so.
class UploadTransport {
 public:
  virtual ~UploadTransport() = default;

  // The context the page runs against; its request's BinaryRead yields the
  // body, never past `length` bytes (the verdict's). Called once. Nothing of the body
  // (and no 100 Continue) may have been read or sent before this call, so
  // that every step before it can still refuse the request unread.
  virtual std::shared_ptr<ScriptingContext> OpenBody(int64_t length) = 0;

  // The body has been read as far as it ever will be (whole or not); no
  // BinaryRead follows. Resources held only for reading (serve: its upload
  // slot) go here, before the application is called. Called once, after
  // OpenBody, on the same thread.
  virtual void BodyEnded() = 0;

  // What was learned reading the body: bytes, a log note, the text the
  // component wrote. Called once, after BodyEnded.
  virtual BodyOutcome TakeBodyOutcome() = 0;

  // What the application is told of the client's request (method, target,
  // Content-Type, Cookie, Authorization, X-Forwarded-For); the length, the
  // report and the forwarded headers are filled in by the pipeline. Called
  // once, before OpenBody.
  virtual HandoffRequest DescribeClient() = 0;
};

// A transport that also sends the answer on the calling thread.
class RequestTransport : public UploadTransport {
 public:
  // Sends `answer` as the verdict says (headers only for HEAD, its Allow).
  // Must not throw for a client that has gone.
  virtual void Send(const PageAnswer& answer, const RequestVerdict& verdict) = 0;
};

// What the pipeline applies to every request of a host.
struct UploadPipeline {
  const UploadSettings& settings;
  // Empty: uploads are answered by the host. Set: each 2xx upload is handed
  // to the application (upload_handoff.h).
  ApplicationCall handoff = {};
  // Null: every admitted upload goes on (or, as under `serve`, the host
  // decided before and passes the narrowed settings above and the
  // Parcelmoor-Forward-* headers in DescribeClient). Set: asked on the
  // calling thread before the body is opened (host/authorization.h); a
  // refusal is the answer, and the body stays unread.
  const Authorization* authorization = nullptr;
  // What the paths told to clients are relative to; unset: the directory
  // of `settings`. A host that passes settings narrowed before passes the
  // configured directory's root here, so that the narrowing shows.
  std::optional<std::string> clientRoot = std::nullopt;
};

// Step 2 for some upload: runs the upload page over what the upload
// brought, asking `decide` (when set) before anything is committed.
using PageRun = std::function<PageResult(const UploadSettings& settings, const CommitDecision& decide)>;

// Steps 1b to 5 with `run` as step 2: the one way every upload's files are
// decided, handed off and answered, whatever brought them. `length` is
// the body length the client announced; `json` chooses the answer's form.
UploadAnswer RunUploadSteps(const PageRun& run, UploadTransport& transport, const UploadPipeline& pipeline,
                            int64_t length, bool json);

// Steps 2 to 5 for an upload the policy admitted (`verdict` has no answer).
// Throws only what escapes the page run (out of memory and the like); the
// host answers that as its own failure.
UploadAnswer RunUploadRequest(const RequestVerdict& verdict, UploadTransport& transport,
                              const UploadPipeline& pipeline);

// Steps 1 to 6 for a request whose header is `head`. Fills the entry's
// status, upload fields and note (the rest is the host's); returns the
// status answered.
int AnswerRequest(const RequestHead& head, RequestTransport& transport, const UploadPipeline& pipeline,
                  RequestLogEntry& entry);

}  // namespace parcelmoor
