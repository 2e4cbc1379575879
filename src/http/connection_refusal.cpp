// A 503 for a connection over the cap, answered on the event loop with no
// Connection of its own.

#include <array>

#include <boost/asio/write.hpp>

#include "host/page_answer.h"
#include "host/request_log.h"
#include "host/security_headers.h"
#include "http/server_core.h"

namespace parcelmoor::httpd {
namespace {

// The answer is sent and unread bytes dropped for at most this long, and
// this many, so that the close does not reset the answer away.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 1024 * 1024;

struct Refusal {
  explicit Refusal(tcp::socket socket) : stream(std::move(socket)) {}
  beast::tcp_stream stream;
  std::string text;
  std::array<char, 4096> sink;
  size_t dropped = 0;
  std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::string peer;
};

void EndRefusal(ServerCore& core, Refusal& r) {
  --core.refusing;
  RequestLogEntry entry;
  entry.start = r.start;
  entry.peer = r.peer;
  entry.method = "-";
  entry.path = "-";
  entry.status = 503;
  entry.duration = std::chrono::steady_clock::now() - r.started;
  entry.note = "connection-limit";
  core.RequestEnded({entry, "-", std::nullopt});
}

void DrainRefused(std::shared_ptr<ServerCore> core, std::shared_ptr<Refusal> r) {
  r->stream.async_read_some(net::buffer(r->sink), [core, r](beast::error_code e, size_t n) {
    r->dropped += n;
    if (e || r->dropped >= kLingerBytes) return EndRefusal(*core, *r);
    DrainRefused(core, r);
  });
}

}  // namespace

void RefuseConnection(ServerCore& core, tcp::socket socket) {
  if (core.refusing >= core.refusalBudget) return;  // closed without a word
  ++core.refusing;
  auto r = std::make_shared<Refusal>(std::move(socket));
  beast::error_code ec;
  tcp::endpoint peer = r->stream.socket().remote_endpoint(ec);
  r->peer = ec ? "-" : FormatEndpoint(peer);
  PageAnswer answer = AnswerRefusal(503, "The server is serving as many connections as it may; try again later.",
                                    false);
  r->text = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: " + answer.contentType +
            "\r\nContent-Length: " + std::to_string(answer.body.size()) +
            "\r\nRetry-After: 1\r\nConnection: close\r\n";
  for (const auto& [name, value] : SecurityHeadersBeside({}, core.options.upload.frameAncestors)) {
    r->text += name + ": " + value + "\r\n";
  }
  r->text += "\r\n" + answer.body;
  r->stream.expires_after(kLingerTime);
  net::async_write(r->stream, net::buffer(r->text), [core = core.shared_from_this(), r](beast::error_code e, size_t) {
    if (e) return EndRefusal(*core, *r);
    beast::error_code ignored;
    r->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    DrainRefused(core, r);
  });
}

}  // namespace parcelmoor::httpd
