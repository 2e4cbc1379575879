// The paths the server answers, and the handlers of the short ones: the
// upload page, its assets, health, readiness and metrics. Uploads and the
// resumable requests go on in upload_dispatch.cpp and resumable_dispatch.cpp.

#include "host/page_assets.h"
#include "host/upload_page.h"
#include "http/connection.h"

namespace parcelmoor::httpd {
namespace {

PageAnswer Plain(int status, std::string contentType, std::string body) {
  PageAnswer answer;
  answer.status = status;
  answer.contentType = std::move(contentType);
  answer.body = std::move(body);
  return answer;
}

// A bearer token compared in time that does not depend on where it differs.
bool SameToken(std::string_view given, std::string_view wanted) {
  if (given.size() != wanted.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < given.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ wanted[i]);
  return diff == 0;
}

}  // namespace

RouteTable Connection::MainRoutes(const HttpServerOptions& options, bool resumable) {
  std::vector<Route> rows{
      {"/", "/", false, &Connection::HandleUploadPage, true},
      {"asset", std::string(PageAssetPath()), true, &Connection::ServeAsset},
      {"/healthz", "/healthz", false, &Connection::ServeHealth},
      {"/readyz", "/readyz", false, &Connection::ServeReadiness},
  };
  if (resumable) {
    rows.push_back({"/files/", "/files", false, &Connection::HandleResumable, true});
    rows.push_back({"/files/", std::string(kResumablePath), true, &Connection::HandleResumable, true});
  }
  // Without a token the metrics stay off the public port.
  if (!options.metricsToken.empty()) rows.push_back({"/metrics", "/metrics", false, &Connection::ServeMetrics});
  return RouteTable(std::move(rows), {"other", "", false, &Connection::NotFound});
}

RouteTable Connection::MetricsRoutes() {
  return RouteTable({{"/metrics", "/metrics", false, &Connection::ServeMetrics},
                     {"/healthz", "/healthz", false, &Connection::ServeHealth},
                     {"/readyz", "/readyz", false, &Connection::ServeReadiness}},
                    {"other", "", false, &Connection::NotFound});
}

Connection::SendOptions Connection::PlainSend() const {
  const bool bodyUnread = !parser_->is_done();
  return SendOptions{.head = parser_->get().method() == http::verb::head,
                     .keepAlive = parser_->get().keep_alive() && !bodyUnread,
                     .drain = bodyUnread};
}

bool Connection::OnlyReading(const char* allow) {
  const auto method = parser_->get().method();
  if (method == http::verb::get || method == http::verb::head) return true;
  SendOptions send = PlainSend();
  send.allow = allow;
  Answer(Plain(405, "text/plain; charset=utf-8", "Only GET and HEAD are answered here.\n"), send);
  return false;
}

bool Connection::ApplyCors() {
  const auto& req = parser_->get();
  const std::string_view origin = req[http::field::origin];
  if (!core_->cors.enabled() || origin.empty()) return false;
  if (auto preflight = AnswerPreflight(core_->cors, req.method_string(), origin,
                                       req[http::field::access_control_request_method],
                                       req[http::field::access_control_request_headers])) {
    entry_.note = "preflight";
    Answer(*preflight, PlainSend());
    return true;
  }
  corsHeaders_ = CorsAnswerHeaders(core_->cors, origin);
  return false;
}

void Connection::HandleUploadPage(std::string_view) {
  auto& req = parser_->get();
  std::optional<std::string_view> length;
  if (!parser_->chunked() && parser_->content_length()) length = req[http::field::content_length];
  RequestVerdict verdict = JudgeRequest({req.method_string(), length, req[http::field::accept], req[http::field::content_type]},
                                        core_->options.upload);
  if (!verdict.answer) return HandleUpload(verdict);
  if (verdict.answer->status == 200) AnnouncePageFeatures(verdict.answer->body);
  SendOptions send = PlainSend();
  send.head = verdict.headOnly;
  send.allow = verdict.allow;
  // A refused upload's body is never read: the connection ends.
  if (req.method() == http::verb::post) send = SendOptions{.drain = true};
  Answer(*verdict.answer, send);
}

void Connection::ServeAsset(std::string_view path) {
  auto& req = parser_->get();
  if (req.method() == http::verb::get || req.method() == http::verb::head) {
    if (auto asset = AnswerPageAsset(path, req[http::field::accept_encoding])) return Answer(*asset, PlainSend());
  }
  NotFound(path);
}

void Connection::NotFound(std::string_view) {
  Refuse(404, "There is no page here; the upload page is at /.", AcceptsJson(parser_->get()[http::field::accept]),
         PlainSend());
}

// Alive while the event loop answers: nothing is checked, so that a slow
// backend never gets a serving process restarted.
void Connection::ServeHealth(std::string_view) {
  if (!OnlyReading()) return;
  Answer(Plain(200, "application/json", "{\"status\":\"serving\"}\n"), PlainSend());
}

void Connection::ServeReadiness(std::string_view) {
  if (!OnlyReading()) return;
  core_->readiness.Ask(core_->ioc, core_, [self = shared_from_this()](const ReadinessReport& report) {
    self->Guarded([&] {
      if (!report.ready()) self->entry_.note = "not-ready";
      SendOptions send = self->PlainSend();
      send.retryAfter = !report.ready();
      self->Answer(Plain(report.ready() ? 200 : 503, "application/json", ReadinessJson(report)), send);
    });
  });
}

void Connection::ServeMetrics(std::string_view) {
  if (!OnlyReading()) return;
  const auto& token = core_->options.metricsToken;
  // The metrics listener needs no token: it is reached only where it is bound.
  if (&routes_ == &core_->mainRoutes) {
    std::string_view given = parser_->get()[http::field::authorization];
    if (!given.starts_with("Bearer ") || !SameToken(given.substr(7), token)) {
      entry_.note = "no-metrics-token";
      PageAnswer refusal = Plain(401, "text/plain; charset=utf-8", "The metrics need their bearer token.\n");
      refusal.headers.emplace_back("www-authenticate", "Bearer");
      return Answer(refusal, PlainSend());
    }
  }
  Answer(Plain(200, "text/plain; version=0.0.4; charset=utf-8",
               core_->metrics->Scrape(core_->admission.running(), core_->admission.waiting(),
                                      core_->resumable ? core_->resumable->expiredCount() : 0)),
         PlainSend());
}

}  // namespace parcelmoor::httpd
