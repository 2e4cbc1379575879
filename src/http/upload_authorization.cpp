// Who may upload, decided on the event loop before an upload takes a slot
// or a thread: the token at once, the application's answer when it comes.
// Nothing of the body is read and no 100 Continue is sent until the
// decision lets the upload go on.

#include "host/authorization.h"
#include "http/connection.h"
#include "http/upload_forwarder.h"

namespace parcelmoor::httpd {

void Connection::AuthorizeUpload(const RequestVerdict& verdict) {
  const auto& o = core_->options;
  HandoffRequest client = DescribeForApplication();
  client.contentLength = verdict.bodyLength;
  if (o.tokens) {
    if (auto refused = CheckToken(*o.tokens, client, verdict.json)) return OnAuthorized(verdict, *std::move(refused));
  }
  if (!o.authorize) {
    AuthorizationOutcome pass;
    pass.settings = o.upload;
    return OnAuthorized(verdict, std::move(pass));
  }
  AskApplicationAsync(core_->ioc, *o.authorize, client, o.authorizeTimeout,
                      [self = shared_from_this(), verdict, client](HandoffAnswer app) {
                        self->Guarded([&] {
                          const auto& settings = self->core_->options.upload;
                          self->OnAuthorized(verdict, FollowAnswer(std::move(app), client, settings, verdict.json));
                        });
                      });
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

}  // namespace parcelmoor::httpd
