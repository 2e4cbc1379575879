#include "http/upload_forwarder.h"

#include "runtime/operation_timing.h"

#include <functional>
#include <memory>
#include <stdexcept>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "host/header_hygiene.h"

namespace parcelmoor {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// An application's answer is a page or a short JSON document; more than
// this is refused rather than held in memory.
constexpr uint64_t kAnswerLimit = 8 << 20;

// Interim answers (100 Continue, 103 Early Hints) read past before the
// final one; more than this many is no answer.
constexpr int kInterimLimit = 16;

http::request<http::string_body> BuildRequest(const ForwardTarget& where, HandoffRequest r) {
  MakeHeaderSafe(r);
  http::request<http::string_body> req{http::verb::post, where.target, 11};
  req.set(http::field::host, where.unixSocket ? std::string("localhost") : where.host + ":" + where.port);
  req.set(http::field::user_agent, "parcelmoor");
  req.set(http::field::content_type, "application/json; charset=utf-8");
  req.set(http::field::connection, "close");
  if (!r.cookie.empty()) req.set(http::field::cookie, r.cookie);
  if (!r.authorization.empty()) req.set(http::field::authorization, r.authorization);
  if (!r.forwardedFor.empty()) req.set("X-Forwarded-For", r.forwardedFor);
  req.set("X-Original-URI", r.originalTarget);
  for (const auto& [name, value] : r.forwardHeaders) req.set(name, value);
  req.body() = std::move(r.reportJson);
  req.prepare_payload();
  return req;
}

// The question before the body: the client's request line and the headers
// that identify the client, and no body.
http::request<http::string_body> BuildAuthorizeRequest(const ForwardTarget& where, HandoffRequest r) {
  MakeHeaderSafe(r);
  http::request<http::string_body> req{http::verb::get, where.target, 11};
  req.set(http::field::host, where.unixSocket ? std::string("localhost") : where.host + ":" + where.port);
  req.set(http::field::user_agent, "parcelmoor");
  req.set(http::field::connection, "close");
  if (!r.cookie.empty()) req.set(http::field::cookie, r.cookie);
  if (!r.authorization.empty()) req.set(http::field::authorization, r.authorization);
  if (!r.forwardedFor.empty()) req.set("X-Forwarded-For", r.forwardedFor);
  req.set("X-Original-Method", r.method);
  req.set("X-Original-URI", r.originalTarget);
  req.set("X-Original-Content-Length", std::to_string(r.contentLength));
  if (!r.contentType.empty()) req.set("X-Original-Content-Type", r.contentType);
  return req;
}

// The final answer's headers as the client may get them: lower-case names,
// read before the body so that trailers never join them.
void TakeHeaders(const http::response_header<>& res, HandoffAnswer& out) {
  std::vector<std::string_view> connection;
  for (const auto& field : res) {
    if (beast::iequals(field.name_string(), "connection")) connection.push_back(field.value());
  }
  AnswerHeaderFilter filter(connection);
  for (const auto& field : res) {
    if (!filter.Passes(field.name_string())) continue;
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out.headers.emplace_back(std::move(name), std::string(field.value()));
  }
}

template <class Stream>
net::awaitable<void> Exchange(Stream& stream, http::request<http::string_body>& req, HandoffAnswer& out) {
  co_await http::async_write(stream, req, net::use_awaitable);
  beast::flat_buffer buffer;
  for (int interim = 0;; ++interim) {
    http::response_parser<http::string_body> parser;
    parser.body_limit(kAnswerLimit);
    co_await http::async_read_header(stream, buffer, parser, net::use_awaitable);
    const int status = static_cast<int>(parser.get().result_int());
    if (status / 100 == 1) {
      // 101 would turn the connection into something else: no answer.
      if (status == 101 || interim == kInterimLimit) throw std::runtime_error("no final answer from the application");
      continue;
    }
    TakeHeaders(parser.get(), out);
    if (!parser.is_done()) co_await http::async_read(stream, buffer, parser, net::use_awaitable);
    out.reached = true;
    out.status = status;
    out.body = std::move(parser.get().body());
    co_return;
  }
}

net::awaitable<void> OverTcp(const ForwardTarget& where, http::request<http::string_body>& req,
                             HandoffAnswer& out, std::chrono::steady_clock::time_point deadline) {
  auto executor = co_await net::this_coro::executor;
  net::ip::tcp::resolver resolver(executor);
  beast::tcp_stream stream(executor);
  stream.expires_at(deadline);
  auto endpoints = co_await resolver.async_resolve(where.host, where.port, net::use_awaitable);
  co_await stream.async_connect(endpoints, net::use_awaitable);
  out.connected = true;
  co_await Exchange(stream, req, out);
}

net::awaitable<void> OverUnixSocket(const ForwardTarget& where, http::request<http::string_body>& req,
                                    HandoffAnswer& out, std::chrono::steady_clock::time_point deadline) {
  using Local = net::local::stream_protocol;
  beast::basic_stream<Local> stream(co_await net::this_coro::executor);
  stream.expires_at(deadline);
  co_await stream.async_connect(Local::endpoint(where.socketPath), net::use_awaitable);
  out.connected = true;
  co_await Exchange(stream, req, out);
}

}  // namespace

std::optional<ForwardTarget> ForwardTarget::Parse(std::string_view url, std::string& why) {
  ForwardTarget t;
  if (url.starts_with("unix:")) {
    std::string_view rest = url.substr(5);
    size_t colon = rest.find(':');
    t.unixSocket = true;
    t.socketPath = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) t.target = std::string(rest.substr(colon + 1));
    if (t.socketPath.empty() || t.target.empty() || t.target[0] != '/') {
      why = "expected unix:/path/to/socket:/request/path";
      return std::nullopt;
    }
    return t;
  }
  if (!url.starts_with("http://")) {
    why = "expected http://HOST[:PORT]/PATH or unix:/SOCKET:/PATH";
    return std::nullopt;
  }
  std::string_view rest = url.substr(7);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) t.target = std::string(rest.substr(slash));
  // The port follows the last colon, or for a bracketed IPv6 address the
  // colon right after its closing bracket; nothing else may follow it.
  size_t hostEnd = authority.rfind(':');
  size_t portColon = hostEnd;
  bool wellFormed = true;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    wellFormed = close != std::string_view::npos && (close + 1 == authority.size() || authority[close + 1] == ':');
    t.host = wellFormed ? std::string(authority.substr(1, close - 1)) : std::string();
    portColon = wellFormed && close + 1 < authority.size() ? close + 1 : std::string_view::npos;
  } else {
    t.host = std::string(authority.substr(0, hostEnd));
  }
  if (portColon != std::string_view::npos) t.port = std::string(authority.substr(portColon + 1));
  if (!wellFormed || t.host.empty() || t.port.empty() ||
      t.port.find_first_not_of("0123456789") != std::string::npos) {
    why = "expected http://HOST[:PORT]/PATH";
    return std::nullopt;
  }
  return t;
}

namespace {

// What a failed exchange tells: why, and whether it was the deadline.
HandoffAnswer FailureOf(std::exception_ptr failure) {
  HandoffAnswer out;
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    out.timedOut = e.code() == beast::error::timeout;
    out.failure = e.code().message();
  } catch (const std::exception& e) {
    out.failure = e.what();
  }
  return out;
}

// One exchange on `ioc`; `done` gets the answer on it. The request and the
// answer live in the exchange's own state until `done` has run.
void Start(net::io_context& ioc, const ForwardTarget& where, http::request<http::string_body> req,
           std::chrono::milliseconds timeout, std::function<void(HandoffAnswer)> done) {
  struct Pending {
    ForwardTarget where;
    http::request<http::string_body> req;
    HandoffAnswer out;
  };
  auto state = std::make_shared<Pending>(Pending{where, std::move(req), {}});
  auto deadline = std::chrono::steady_clock::now() + timeout;
  auto finish = [state, done = std::move(done)](std::exception_ptr failure) {
    if (!failure) return done(std::move(state->out));
    // Connected and then closed or failed: the application was reached
    // but gave no answer, which is not the same as being unreachable.
    HandoffAnswer out = FailureOf(failure);
    out.connected = state->out.connected;
    done(std::move(out));
  };
  if (where.unixSocket) {
    net::co_spawn(ioc, OverUnixSocket(state->where, state->req, state->out, deadline), std::move(finish));
  } else {
    net::co_spawn(ioc, OverTcp(state->where, state->req, state->out, deadline), std::move(finish));
  }
}

// Sends `req` and waits for the answer, all within `timeout`.
HandoffAnswer Send(const ForwardTarget& where, http::request<http::string_body> req,
                   std::chrono::milliseconds timeout) {
  HandoffAnswer out;
  try {
    net::io_context ioc;
    Start(ioc, where, std::move(req), timeout, [&out](HandoffAnswer answer) { out = std::move(answer); });
    ioc.run();
  } catch (const std::exception& e) {
    out = HandoffAnswer{.failure = e.what()};
  }
  return out;
}

}  // namespace

HandoffAnswer CallApplication(const ForwardTarget& where, const HandoffRequest& request,
                              std::chrono::milliseconds timeout) {
  const OperationTimer timer("forward");
  HandoffAnswer answer;
  try {
    answer = Send(where, BuildRequest(where, request), timeout);
  } catch (const std::exception& e) {
    answer = HandoffAnswer{.failure = e.what()};
  }
  timer.Done("", !answer.reached);
  return answer;
}

HandoffAnswer AskApplication(const ForwardTarget& where, const HandoffRequest& request,
                             std::chrono::milliseconds timeout) {
  try {
    return Send(where, BuildAuthorizeRequest(where, request), timeout);
  } catch (const std::exception& e) {
    return HandoffAnswer{.failure = e.what()};
  }
}

void AskApplicationAsync(boost::asio::io_context& ioc, const ForwardTarget& where, const HandoffRequest& request,
                         std::chrono::milliseconds timeout, std::function<void(HandoffAnswer)> done) {
  // Timed from the loop's side: the wait for the answer is what an upload feels.
  done = [timer = OperationTimer("authorize"), done = std::move(done)](HandoffAnswer answer) {
    timer.Done("", !answer.reached);
    done(std::move(answer));
  };
  try {
    Start(ioc, where, BuildAuthorizeRequest(where, request), timeout, done);
  } catch (const std::exception& e) {
    net::post(ioc, [done, failure = std::string(e.what())] { done(HandoffAnswer{.failure = failure}); });
  }
}

}  // namespace parcelmoor
