// A multipart POST: refused on the event loop when it must be, else run as
// an upload job (upload_job.cpp) for as long as the upload page runs, and
// answered back on the loop.

#include <sys/socket.h>

#include <utility>

#include <boost/asio/post.hpp>

#include "host/authorization.h"
#include "host/request_pipeline.h"
#include "http/connection.h"
#include "http/socket_page_host.h"
#include "http/socket_progress.h"
#include "http/upload_admission.h"

namespace parcelmoor::httpd {

// What an upload's thread hands back to the event loop.
struct Connection::UploadOutcome {
  UploadAnswer upload;
  bool failed = false;   // the body could not be read to its end
  bool tooSlow = false;  // ... because the client was too slow
  bool bodyDone = false;
  std::string internalError;  // what escaped the page run, if anything did
};

void Connection::HandleUpload(const RequestVerdict& verdict) {
  authorized_.reset();
  if (core_->options.tokens || core_->options.authorize) return AuthorizeUpload(verdict);
  AdmitUpload(verdict);
}

void Connection::AuthorizeUpload(const RequestVerdict& verdict) {
  HandoffRequest client = DescribeForApplication();
  client.contentLength = verdict.bodyLength;
  Authorize(std::move(client), verdict.json,
            [this, verdict](AuthorizationOutcome outcome) { OnAuthorized(verdict, std::move(outcome)); });
}

void Connection::OnAuthorized(const RequestVerdict& verdict, AuthorizationOutcome outcome) {
  if (outcome.refusal) {
    entry_.note = std::move(outcome.note);
    // The body was never read: the connection ends after the answer, with
    // a short drain so that the client can read it.
    return Answer(*outcome.refusal, SendOptions{.drain = true});
  }
  if (core_->stopping) {
    entry_.note = "stopping";
    return Refuse(503, "The server is stopping; try again shortly.", verdict.json,
                  SendOptions{.drain = true, .retryAfter = true});
  }
  authorized_ = std::move(outcome);
  AdmitUpload(verdict);
}

// Takes an upload slot, waits for one, or refuses the upload.
void Connection::AdmitUpload(const RequestVerdict& verdict) {
  auto& req = parser_->get();
  // Slots are counted by client address: behind a trusted proxy, the
  // address it forwards.
  uploadClient_ = ClientForLog(address_, req["X-Forwarded-For"], core_->options.upload);
  admitting_ = verdict;
  expectContinue_ = beast::iequals(req[http::field::expect], "100-continue");
  AdmitUploadJob([this] { StartUpload(); }, [this](UploadAdmission::Verdict why) { RefuseForSlots(why); });
}

void Connection::RefuseForSlots(UploadAdmission::Verdict why) {
  const bool json = admitting_ && admitting_->json;
  const SendOptions close{.drain = true, .retryAfter = true};
  if (why == UploadAdmission::Verdict::kClientFull) {
    entry_.note = "client-upload-limit";
    return Refuse(429, "This client is running as many uploads as it may at once; try again shortly.", json, close);
  }
  if (core_->stopping) {
    entry_.note = "stopping";
    return Refuse(503, "The server is stopping; try again shortly.", json, close);
  }
  entry_.note = "upload-limit";
  Refuse(503, "The server is running as many uploads as it may; try again shortly.", json, close);
}

// Holds a slot: runs the upload on a thread of the pool.
void Connection::StartUpload() {
  const RequestVerdict verdict = *admitting_;
  const bool expectContinue = expectContinue_;
  RunUploadJob(
      [this, verdict, expectContinue]() -> std::function<void()> {
        auto outcome = std::make_shared<UploadOutcome>(RunUpload(verdict, expectContinue));
        return [this, outcome] { FinishUpload(std::move(*outcome)); };
      },
      [this, verdict] {
        Refuse(503, "The server cannot take an upload right now; try again shortly.", verdict.json,
               SendOptions{.drain = true, .retryAfter = true});
      });
}

// On the upload's thread. Nothing may escape it: the outcome says what went
// wrong instead.
Connection::UploadOutcome Connection::RunUpload(const RequestVerdict& verdict, bool expectContinue) {
  UploadOutcome out;
  try {
    const auto& o = core_->options;
    BodyLimits limits{.stall = o.ioTimeout, .minRate = o.minBodyRate, .rateWindow = o.bodyRateWindow};
    // The slot bounds uploads reading bodies and writing files; a hand-off
    // waiting on the application holds none.
    auto bodyEnded = [self = shared_from_this()] {
      net::post(self->core_->ioc, [self] { self->Guarded([&] { self->ReleaseUploadSlot(); }); });
    };
    // Authorized on the loop before the thread started: this upload's own
    // settings and the headers its hand-off carries.
    HandoffRequest client = DescribeForApplication();
    if (authorized_) client.forwardHeaders = authorized_->forwardHeaders;
    SocketUpload transport(BodySocket{*bodySource_, buffer_, cut_}, expectContinue, limits, std::move(client),
                           std::move(bodyEnded));
    ApplicationCall handoff;
    if (o.forward) {
      handoff = [&o](const HandoffRequest& r) { return CallApplication(*o.forward, r, o.forwardTimeout); };
    }
    const UploadSettings& settings = authorized_ ? authorized_->settings : o.upload;
    out.upload = RunUploadRequest(verdict, transport, UploadPipeline{settings, std::move(handoff)});
    if (const SocketPageHost* body = transport.body()) {
      out.failed = body->failed();
      out.tooSlow = body->tooSlow();
      out.bodyDone = body->bodyDone();
    }
  } catch (const std::exception& e) {
    out.internalError = e.what();
  } catch (...) {
    out.internalError = "unknown exception";
  }
  return out;
}

// What the application is told of the client's request besides the report.
// On the upload's thread, while the loop leaves the request alone.
HandoffRequest Connection::DescribeForApplication() const {
  const auto& req = parser_->get();
  HandoffRequest r;
  r.originalTarget = std::string(req.target());
  r.cookie = std::string(req[http::field::cookie]);
  r.authorization = std::string(req[http::field::authorization]);
  r.method = std::string(req.method_string());
  r.contentType = std::string(req[http::field::content_type]);
  std::string client = peer_.substr(0, peer_.rfind(':'));
  if (client.size() > 2 && client.front() == '[') client = client.substr(1, client.size() - 2);
  std::string earlier(req["X-Forwarded-For"]);
  r.forwardedFor = earlier.empty() ? client : earlier + ", " + client;
  return r;
}

int64_t Connection::BytesReceived() const { return BytesReceivedOn(fd_); }

// The read side alone is shut: the upload's thread wakes to a closed body
// at once, and the answer can still be written.
void Connection::GiveUpSlot() {
  if (phase_ != Phase::kUpload || cut_) return;
  slotReclaimed_ = true;
  cut_ = true;
  ::shutdown(fd_, SHUT_RD);
}

void Connection::FinishUpload(UploadOutcome out) {
  entry_.upload = std::move(out.upload.log);
  entry_.note = std::move(out.upload.note);
  bool json = AcceptsJson(parser_->get()[http::field::accept]);
  if (!out.internalError.empty()) {
    entry_.note = "internal-error:" + out.internalError;
    return Refuse(500, "The upload failed inside the server.", json, SendOptions{});
  }
  if (slotReclaimed_) {
    entry_.note = "slot-reclaimed";
    return Refuse(408, "The upload was too slow while others waited, and gave its place up; send it again.", json,
                  SendOptions{.drain = true});
  }
  if (out.tooSlow && !cut_) {
    // The client may still be there: tell it why, then close.
    return Refuse(408, "The request body arrived too slowly.", json, SendOptions{.drain = true});
  }
  if (out.failed) {
    // Nobody is left to answer, or the connection is beyond use.
    LogRequest();
    return CloseNow();
  }
  bool keepAlive = parser_->get().keep_alive() && out.bodyDone;
  Answer(out.upload.answer, SendOptions{.keepAlive = keepAlive, .drain = !out.bodyDone});
}

}  // namespace parcelmoor::httpd
