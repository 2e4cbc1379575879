// A connection's life on the event loop: wait, read a header, find its route
// (connection_routes.cpp), answer, tell the observers, and go round again or
// close.

#include "http/connection.h"

#include <sys/socket.h>

#include <ctime>

#include <boost/asio/write.hpp>

#include "host/free_space.h"
#include "host/page_assets.h"
#include "host/security_headers.h"
#include "host/upload_page.h"

namespace parcelmoor::httpd {
namespace {

// A request's header (request line and fields) may be this long. Beast's
// own limit applies to what one parse step sees, so a header arriving in
// pieces could pass it at twice the size: the whole is checked again once
// read.
constexpr size_t kHeaderLimit = 16 * 1024;
// The first read of a request: a header fits, and a small body sent with it
// comes along.
constexpr size_t kFirstRead = 16 * 1024;
// Unread request bytes are drained for at most this long, and this many,
// before a connection that answered early is closed: closing with unread
// bytes would reset the connection and could destroy the answer in flight.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 4 * 1024 * 1024;
constexpr size_t kSinkSize = 16 * 1024;

// The Date field every answer of an origin server carries (RFC 9110
// 6.6.1): caches and clients reckon the age of what they hold from it.
std::string HttpDate() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[40];
  size_t size = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return std::string(text, size);
}

bool IsHttpParseError(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::header_limit).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// Why the body's framing cannot be trusted, or empty: a transfer coding
// other than chunked cannot be read, and one next to a length leaves two
// ideas of where the body ends.
std::string FramingFault(const http::request<http::buffer_body>& req) {
  auto codings = req.equal_range(http::field::transfer_encoding);
  if (codings.first == codings.second) return {};
  if (req.count(http::field::content_length) > 0) {
    return "A request may not carry both Transfer-Encoding and Content-Length.";
  }
  int count = 0;
  for (auto it = codings.first; it != codings.second; ++it) {
    if (++count > 1 || !beast::iequals(it->value(), "chunked")) {
      return "The only transfer coding understood is chunked.";
    }
  }
  return {};
}

}  // namespace

std::string FormatEndpoint(const tcp::endpoint& ep) {
  auto address = ep.address();
  std::string host = address.to_string();
  if (address.is_v6()) host = "[" + host + "]";
  return host + ":" + std::to_string(ep.port());
}

Connection::Connection(std::shared_ptr<ServerCore> core, tcp::socket socket, const RouteTable& routes)
    : core_(std::move(core)), stream_(std::move(socket)), fd_(stream_.socket().native_handle()), routes_(routes) {
  beast::error_code ec;
  stream_.socket().set_option(tcp::no_delay(true), ec);
  tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
  peer_ = ec ? "-" : FormatEndpoint(peer);
  if (!ec && peer.address().is_v6()) protocol_ = tcp::v6();
  address_ = ec ? "-" : peer.address().to_string();
}

Connection::~Connection() { core_->Unregister(this); }

void Connection::Start() {
  core_->Register(this);
  // The metrics listener stays plain: it is for the machine's own scrapers.
  if (core_->tls && &routes_ == &core_->mainRoutes) return StartTls();
  bodySource_ = std::make_unique<PlainBodySource>(fd_);
  WaitForRequest();
}

void Connection::StartTls() {
  ssl_st* ssl = core_->tls->NewSession(fd_);
  if (!ssl) return CloseNow();
  tls_ = std::make_unique<TlsStream>(stream_, ssl);
  bodySource_ = tls_->BodySourceOn(fd_);
  Expire(core_->options.headerTimeout);
  tls_->async_handshake([self = shared_from_this()](beast::error_code ec) {
    self->Guarded([&] {
      if (!ec) return self->WaitForRequest();
      if (self->tls_->plainHttp()) return self->AnswerPlainHttp();
      self->CloseNow();
    });
  });
}

// A client that spoke plain HTTP to the TLS port is told so in plain HTTP
// (browsers show it), and the connection closes.
void Connection::AnswerPlainHttp() {
  static constexpr std::string_view kAnswer =
      "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 61\r\n"
      "Connection: close\r\n\r\nThis port speaks HTTPS: ask for https:// instead of http://.\n";
  tls_.reset();
  entry_ = RequestLogEntry{};
  entry_.peer = peer_;
  entry_.start = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
  entry_.method = "-";
  entry_.path = "-";
  entry_.status = 400;
  entry_.note = "plain-http-on-tls";
  LogRequest();
  (void)::send(fd_, kAnswer.data(), kAnswer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  Close(true);
}

void Connection::Expire(std::chrono::steady_clock::duration d) {
  stream_.expires_after(d);
  if (tls_) tls_->expires_after(d);
}

void Connection::OnStop() {
  if (phase_ == Phase::kWaiting) CloseNow();
}

void Connection::Cut() {
  cut_ = true;
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::Failed(const char* what) noexcept {
  try {
    core_->setupFailures.Write(std::string("a connection from ") + peer_ + " failed: " + what);
    CloseNow();
  } catch (...) {
  }
}

// A new connection may take the header deadline to start its request; a
// kept-alive one, the keep-alive time. The header's own deadline starts
// with its first byte.
void Connection::WaitForRequest() {
  phase_ = Phase::kWaiting;
  if (core_->stopping) return CloseNow();
  if (buffer_.size() > 0) return ReadHeader();
  buffer_.shrink_to_fit();  // an idle connection holds no buffer
  const auto& o = core_->options;
  Expire(served_ ? o.keepaliveTimeout : o.headerTimeout);
  auto read = [self = shared_from_this()](beast::error_code ec, size_t n) {
    self->Guarded([&] {
      self->buffer_.commit(n);
      if (ec || n == 0) return self->CloseNow();
      self->ReadHeader();
    });
  };
  OnStream([&](auto& s) { s.async_read_some(buffer_.prepare(kFirstRead), read); });
}

void Connection::ReadHeader() {
  entry_ = RequestLogEntry{};
  route_ = nullptr;
  corsHeaders_.clear();
  slotWait_.reset();
  entry_.peer = peer_;
  entry_.start = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  parser_->body_limit(boost::none);  // Beast's default would refuse bodies over 8 MB
  Expire(core_->options.headerTimeout);
  auto read = [self = shared_from_this()](beast::error_code ec, size_t n) {
    if (!ec && n > kHeaderLimit) ec = http::error::header_limit;
    self->Guarded([&] { self->OnHeader(ec); });
  };
  OnStream([&](auto& s) { http::async_read_header(s, buffer_, *parser_, read); });
}

void Connection::OnHeader(const beast::error_code& ec) {
  phase_ = Phase::kAnswering;
  if (!ec) return HandleRequest();
  entry_.method = "-";
  entry_.path = "-";
  if (!IsHttpParseError(ec)) {
    // Bytes of a request came, so a timeout is worth a line.
    if (ec == beast::error::timeout) {
      entry_.note = "header-timeout";
      LogRequest();
    }
    return CloseNow();
  }
  auto& req = parser_->get();
  if (!req.method_string().empty()) entry_.method = std::string(req.method_string());
  entry_.path = std::string(req.target());
  bool tooLarge = ec == http::error::header_limit;
  entry_.note = tooLarge ? "header-too-large" : "bad-request";
  Refuse(tooLarge ? 431 : 400,
         tooLarge ? "The request header is larger than 16 KiB." : "The request could not be parsed: " + ec.message() + ".",
         false, SendOptions{.drain = true});
}

void Connection::HandleRequest() {
  auto& req = parser_->get();
  std::string_view target = req.target();
  std::string_view path = target.substr(0, target.find('?'));
  entry_.method = std::string(req.method_string());
  entry_.path = std::string(target);
  entry_.peer = ClientForLog(peer_, req["X-Forwarded-For"], core_->options.upload);
  route_ = &routes_.Find(path);

  if (std::string fault = FramingFault(req); !fault.empty()) {
    entry_.note = "bad-framing";
    return Refuse(400, fault, AcceptsJson(req[http::field::accept]), SendOptions{.drain = true});
  }
  if (route_->cors && ApplyCors()) return;
  (this->*route_->handle)(path);
}

// What the page's script needs to know of this server, beside its limits.
void Connection::AnnouncePageFeatures(std::string& pageHtml) const {
  // Relative to the page (no leading '/'): behind a proxy's path prefix the
  // page's uploads go where the page came from.
  if (core_->resumable) AnnounceResumableEndpoint(pageHtml, kResumablePath.substr(1));
  if (core_->options.forward) AnnounceApplication(pageHtml);
}

void Connection::Refuse(int status, std::string_view why, bool json, SendOptions send) {
  Answer(AnswerRefusal(status, why, json), send);
}

void Connection::Answer(const PageAnswer& a, SendOptions send) {
  phase_ = Phase::kAnswering;
  send.keepAlive = send.keepAlive && !core_->stopping;
  sending_ = send;
  entry_.status = a.status;
  auto& res = response_.emplace(static_cast<http::status>(a.status), 11);
  res.set(http::field::server, "parcelmoor");
  res.set(http::field::date, HttpDate());
  res.set(http::field::content_type, a.contentType);
  res.set(http::field::cache_control, "no-store");
  if (send.allow) res.set(http::field::allow, send.allow);
  if (send.retryAfter) res.set(http::field::retry_after, "1");
  for (const auto& [name, value] : corsHeaders_) res.insert(name, value);
  for (const auto& [name, value] : SecurityHeadersBeside(a.headers, core_->options.upload.frameAncestors)) {
    res.set(name, value);
  }
  // An answer that may be kept (the page's assets) says so in place of no-store.
  for (const auto& [name, value] : a.headers) {
    if (beast::iequals(name, "cache-control")) res.set(http::field::cache_control, value);
    else res.insert(name, value);
  }
  res.keep_alive(send.keepAlive);
  if (send.head) {
    res.content_length(a.body.size());
  } else {
    res.body() = a.body;
    res.prepare_payload();
  }
  Expire(core_->options.ioTimeout);
  auto written = [self = shared_from_this()](beast::error_code ec, size_t) {
    self->Guarded([&] { self->OnAnswered(ec); });
  };
  OnStream([&](auto& s) { http::async_write(s, res, written); });
}

void Connection::OnAnswered(const beast::error_code& ec) {
  response_.reset();
  LogRequest();
  if (ec) return CloseNow();
  if (!sending_.keepAlive) return Close(sending_.drain);
  served_ = true;
  WaitForRequest();
}

void Connection::LogRequest() {
  entry_.duration = std::chrono::steady_clock::now() - started_;
  core_->RequestEnded({entry_, route_ ? route_->label : std::string_view("-"), slotWait_});
}

// With `drain`, request bytes the client may still be sending are read and
// dropped for a short while before the close.
void Connection::Close(bool drain) {
  phase_ = Phase::kClosing;
  if (tls_) tls_->Shutdown();
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  if (!drain || ec) return CloseNow();
  sink_ = std::make_unique<char[]>(kSinkSize);
  dropped_ = 0;
  Expire(kLingerTime);
  DrainSome();
}

void Connection::DrainSome() {
  auto dropped = [self = shared_from_this()](beast::error_code ec, size_t n) {
    self->Guarded([&] {
      self->dropped_ += n;
      if (ec || self->dropped_ >= kLingerBytes) return self->CloseNow();
      self->DrainSome();
    });
  };
  OnStream([&](auto& s) { s.async_read_some(net::buffer(sink_.get(), kSinkSize), dropped); });
}

void Connection::CloseNow() {
  phase_ = Phase::kClosing;
  stream_.close();
}

}  // namespace parcelmoor::httpd
