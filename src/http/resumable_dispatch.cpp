// The tus requests at /files/ on a connection: screened on the event loop,
// a creation authorized there as an upload is, then run as an upload job
// (upload_job.cpp: the disk work, the body, a completion's scan and
// hand-off) and answered back on the loop. Every request so run holds an upload slot, so
// that the threads stay as few as the slots: a request with bytes while it
// reads them, as a multipart upload does, any other until it is answered.

#include <boost/asio/post.hpp>

#include "host/free_space.h"
#include "host/tus/resumable_answers.h"
#include "http/connection.h"
#include "http/socket_page_host.h"
#include "http/upload_forwarder.h"

namespace parcelmoor::httpd {
namespace {

std::optional<std::string> HeaderOf(const http::request<http::buffer_body>& req, std::string_view name) {
  auto found = req.find(name);
  if (found == req.end()) return std::nullopt;
  return std::string(found->value());
}

// The body of a request with bytes, read from the socket with the upload
// time limits; `ended` frees the slot on the loop.
class SocketResumableBody final : public ResumableBody {
 public:
  SocketResumableBody(std::shared_ptr<SocketPageHost> host, std::function<void()> ended)
      : host_(std::move(host)), ended_(std::move(ended)) {}
  size_t Read(uint8_t* into, size_t count) override { return host_->BinaryRead(into, count); }
  void Ended() override {
    if (!ended_) return;
    host_->EndBody();
    std::exchange(ended_, nullptr)();
  }

 private:
  std::shared_ptr<SocketPageHost> host_;
  std::function<void()> ended_;
};

}  // namespace

struct Connection::ResumableReply {
  ResumableOutcome outcome;
  bool failed = false;
  bool tooSlow = false;
  bool bodyDone = true;
  std::string internalError;
};

void Connection::HandleResumable(std::string_view path) {
  auto& req = parser_->get();
  // The free-space reserve holds for resumable uploads as for posts, and is
  // looked at before the creation is authorized or takes a slot.
  if (auto full = CreationFreeSpaceRefusal(core_->options.upload, req.method_string(), req["Upload-Length"],
                                           core_->options.resumableSpool)) {
    entry_.note = "disk-reserve";
    return Answer(*full, SendOptions{.drain = !parser_->is_done()});
  }
  ResumableRequest r;
  r.method = std::string(req.method_string());
  r.id = path.size() > kResumablePath.size() ? std::string(path.substr(kResumablePath.size())) : "";
  r.locationBase = path.ends_with('/') ? "" : "files/";
  r.tusResumable = HeaderOf(req, "Tus-Resumable");
  r.uploadLength = HeaderOf(req, "Upload-Length");
  r.uploadOffset = HeaderOf(req, "Upload-Offset");
  r.uploadMetadata = HeaderOf(req, "Upload-Metadata");
  r.uploadChecksum = HeaderOf(req, "Upload-Checksum");
  r.uploadDeferLength = HeaderOf(req, "Upload-Defer-Length");
  r.contentType = std::string(req[http::field::content_type]);
  if (parser_->content_length()) r.bodyLength = static_cast<int64_t>(*parser_->content_length());
  r.credentials = std::string(req[http::field::authorization]);
  if (r.credentials.empty()) r.credentials = std::string(req[http::field::cookie]);
  r.client = ClientForLog(address_, req["X-Forwarded-For"], core_->options.upload);
  const bool bodyUnread = !parser_->is_done();
  SendOptions send{.head = r.method == "HEAD", .keepAlive = req.keep_alive() && !bodyUnread, .drain = bodyUnread};

  if (r.method == "OPTIONS") return Answer(core_->resumable->Options(), send);
  if (auto refused = core_->resumable->Screen(r)) return Answer(*refused, send);
  if (parser_->chunked()) {
    entry_.note = "chunked";
    return Answer(TusAnswer(411, "Send the bytes with a Content-Length."), SendOptions{.drain = true});
  }
  if (r.method == "POST") return AuthorizeResumable(std::move(r));
  // The upload keeps the creation's credentials, but a token revoked since
  // then stops its later requests as it stops new uploads.
  if (const auto& tokens = core_->options.tokens) {
    if (auto refused = CheckToken(*tokens, DescribeForApplication(), AcceptsJson(req[http::field::accept]))) {
      return RefuseResumable(*std::move(refused));
    }
  }
  StartResumable(std::move(r), std::nullopt);
}

void Connection::RefuseResumable(AuthorizationOutcome outcome) {
  entry_.note = std::move(outcome.note);
  outcome.refusal->headers.emplace_back("tus-resumable", std::string(kTusVersion));
  Answer(*outcome.refusal, SendOptions{.drain = true});
}

void Connection::AuthorizeResumable(ResumableRequest request) {
  HandoffRequest client = DescribeForApplication();
  client.contentLength = request.bodyLength;
  Authorize(std::move(client), AcceptsJson(parser_->get()[http::field::accept]),
            [this, request](AuthorizationOutcome outcome) {
              if (outcome.refusal) return RefuseResumable(std::move(outcome));
              StartResumable(request, std::move(outcome));
            });
}

void Connection::StartResumable(ResumableRequest request, std::optional<AuthorizationOutcome> authorized) {
  if (core_->stopping) {
    entry_.note = "stopping";
    return Answer(TusAnswer(503, "The server is stopping; try again shortly."),
                  SendOptions{.drain = true, .retryAfter = true});
  }
  // A slot as a multipart body takes one: at once, after a wait with any
  // body unread, or not at all. Without it, a client could have a thread
  // started per connection with requests that carry no bytes.
  uploadClient_ = request.client;
  AdmitUploadJob(
      [this, request = std::move(request), authorized = std::move(authorized)] {
        RunUploadJob(
            [this, request, authorized]() -> std::function<void()> {
              auto reply = std::make_shared<ResumableReply>(RunResumable(request, authorized));
              return [this, reply] { FinishResumable(std::move(*reply)); };
            },
            [this] {
              Answer(TusAnswer(503, "The server cannot take an upload right now; try again shortly."),
                     SendOptions{.drain = true, .retryAfter = true});
            });
      },
      [this](UploadAdmission::Verdict why) { RefuseResumableForSlots(why); });
}

void Connection::RefuseResumableForSlots(UploadAdmission::Verdict why) {
  const bool server = why != UploadAdmission::Verdict::kClientFull;
  if (core_->stopping) {
    entry_.note = "stopping";
    return Answer(TusAnswer(503, "The server is stopping; try again shortly."),
                  SendOptions{.drain = true, .retryAfter = true});
  }
  entry_.note = server ? "upload-limit" : "client-upload-limit";
  Answer(TusAnswer(server ? 503 : 429, "Too many uploads are running; try again shortly."),
         SendOptions{.drain = true, .retryAfter = true});
}

// On the request's thread. Nothing may escape it.
Connection::ResumableReply Connection::RunResumable(const ResumableRequest& r,
                                                    const std::optional<AuthorizationOutcome>& authorized) {
  ResumableReply reply;
  try {
    ResumableUploads& uploads = *core_->resumable;
    const auto& o = core_->options;
    ResumableHandoff handoff;
    handoff.client = DescribeForApplication();
    if (o.forward) {
      handoff.call = [&o](const HandoffRequest& h) { return CallApplication(*o.forward, h, o.forwardTimeout); };
    }
    if (r.method == "HEAD") reply.outcome.answer = uploads.Head(r);
    if (r.method == "GET") reply.outcome.answer = uploads.Report(r);
    if (r.method == "DELETE") reply.outcome.answer = uploads.Delete(r);
    if (r.method != "PATCH" && r.method != "POST") return reply;
    BodyLimits limits{.stall = o.ioTimeout, .minRate = o.minBodyRate, .rateWindow = o.bodyRateWindow};
    const bool expectContinue = beast::iequals(parser_->get()[http::field::expect], "100-continue");
    auto host = std::make_shared<SocketPageHost>(BodySocket{*bodySource_, buffer_, cut_}, r.bodyLength, expectContinue, limits);
    SocketResumableBody body(host, [self = shared_from_this()] {
      net::post(self->core_->ioc, [self] { self->Guarded([&] { self->ReleaseUploadSlot(); }); });
    });
    reply.outcome = r.method == "POST" ? uploads.Create(r, *authorized, &body, handoff) : uploads.Patch(r, body, handoff);
    body.Ended();
    reply.failed = host->failed();
    reply.tooSlow = host->tooSlow();
    reply.bodyDone = host->bodyDone();
    if (reply.outcome.note.empty()) reply.outcome.note = host->note();
    reply.outcome.log.bodyBytes = host->received();
  } catch (const std::exception& e) {
    reply.internalError = e.what();
  } catch (...) {
    reply.internalError = "unknown exception";
  }
  return reply;
}

void Connection::FinishResumable(ResumableReply reply) {
  entry_.upload = std::move(reply.outcome.log);
  entry_.note = std::move(reply.outcome.note);
  if (!reply.internalError.empty()) {
    entry_.note = "internal-error:" + reply.internalError;
    return Answer(TusAnswer(500, "The request failed inside the server."), SendOptions{});
  }
  if (slotReclaimed_) {
    entry_.note = "slot-reclaimed";
    return Answer(TusAnswer(408, "The request was too slow while others waited, and gave its place up; the bytes "
                                 "that came are kept."),
                  SendOptions{.drain = true});
  }
  if (reply.tooSlow && !cut_) {
    return Answer(TusAnswer(408, "The request body arrived too slowly; the bytes that came are kept."),
                  SendOptions{.drain = true});
  }
  if (reply.failed) {
    LogRequest();
    return CloseNow();
  }
  auto& req = parser_->get();
  // A request without bytes of ours may still have sent a body nobody read.
  const bool carries = req.method() == http::verb::patch || req.method() == http::verb::post;
  const bool bodyDone = carries ? reply.bodyDone : parser_->is_done();
  Answer(reply.outcome.answer, SendOptions{.head = req.method() == http::verb::head,
                                           .keepAlive = req.keep_alive() && bodyDone,
                                           .drain = !bodyDone});
}

}  // namespace parcelmoor::httpd
