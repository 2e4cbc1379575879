// The embedded HTTP/1.1 server, on Boost.Beast. This is the only file that
// sees Beast or Asio.
//
// Each connection has its own thread and its own io_context. A step that
// looks blocking (read a header, write a response) starts an asynchronous
// operation with a deadline and runs the connection's io_context until it
// completes, so pull-style code still gets timeouts. Body bytes bypass the
// event loop: they are received straight into the reader's chunk, waiting
// with poll() and the read deadline only when none have arrived.

#include "http/http_server.h"

#include <poll.h>
#include <sys/types.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "host/host_errors.h"
#include "upload/host_interfaces.h"
#include "host/page_answer.h"
#include "host/request_log.h"

namespace parcelmoor {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Parser = http::request_parser<http::buffer_body>;

constexpr size_t kHeaderLimit = 16 * 1024;
// A body read that finds the socket empty sleeps until this many bytes have
// arrived (or the rest of the body, if less), so a fast client wakes the
// server once per batch of chunks rather than once per segment. After
// kBatchPatience the read takes what has come, or waits for the first byte.
constexpr int kBodyBatch = 512 * 1024;
constexpr auto kBatchPatience = std::chrono::milliseconds(20);
// Without a reserve Beast reads the socket about 1 KiB at a time.
constexpr size_t kReadBufferSize = 64 * 1024;
// Unread request bytes are drained for at most this long, and this many,
// before a connection that answered early is closed: closing with unread
// bytes would reset the connection and could destroy the answer in flight.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 4 * 1024 * 1024;
// Refused connections are answered 503 on the accepting thread; beyond this
// many at once they are closed without an answer.
constexpr int kMaxRefusing = 256;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// Once the grace period is over, cut connections get this long to end.
constexpr auto kCutWait = std::chrono::seconds(10);

std::string FormatEndpoint(const tcp::endpoint& ep) {
  auto address = ep.address();
  std::string host = address.to_string();
  if (address.is_v6()) host = "[" + host + "]";
  return host + ":" + std::to_string(ep.port());
}

bool IsHttpParseError(const beast::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::header_limit).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// One connection's network side. Used only on the connection's own thread,
// except Cut(), which any thread may call.
class Connection {
 public:
  Connection(tcp::socket::native_handle_type fd, const tcp& protocol) : stream_(ioc_), fd_(fd) {
    stream_.socket().assign(protocol, fd);
    buffer_.reserve(kReadBufferSize);
    beast::error_code ec;
    stream_.socket().set_option(tcp::no_delay(true), ec);
    tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "-" : FormatEndpoint(peer);
  }

  // Starts one operation through `start(handler)` with a deadline for all
  // of it, and waits for it. Returns its error.
  template <class Start>
  beast::error_code Run(std::chrono::milliseconds limit, Start&& start) {
    beast::error_code result = net::error::operation_aborted;
    stream_.expires_after(limit);
    start([&result](beast::error_code ec, std::size_t) { result = ec; });
    ioc_.restart();
    ioc_.run();
    return result;
  }

  // Shuts the socket down: a pending read, whether in the event loop or in
  // poll(), ends at once, as if the client had gone. Only the descriptor is
  // touched, never the Asio objects of the connection's thread; the caller
  // keeps the connection from being closed meanwhile.
  void Cut() {
    cut_ = true;
    ::shutdown(fd_, SHUT_RDWR);
  }

  // Ends the connection. With `drain`, request bytes the client may still
  // be sending are read and dropped for a short while first.
  void Close(bool drain) {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    if (drain && !ec) {
      auto until = std::chrono::steady_clock::now() + kLingerTime;
      size_t dropped = 0;
      std::array<char, 16 * 1024> sink;
      while (dropped < kLingerBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        size_t n = 0;
        ec = Run(left, [&](auto handler) {
          stream_.async_read_some(net::buffer(sink), [&n, handler](beast::error_code e, size_t got) mutable {
            n = got;
            handler(e, got);
          });
        });
        if (ec) break;
        dropped += n;
      }
    }
    stream_.socket().close(ec);
  }

  beast::tcp_stream& stream() { return stream_; }
  beast::flat_buffer& buffer() { return buffer_; }
  const std::string& peer() const { return peer_; }
  bool cut() const { return cut_; }
  int fd() const { return fd_; }

 private:
  net::io_context ioc_{1};
  beast::tcp_stream stream_;
  const int fd_;  // the socket's descriptor, for the calls made without Asio
  beast::flat_buffer buffer_;
  std::string peer_;
  std::atomic<bool> cut_{false};
};

// True unless the client has visibly gone. A client that closed its side
// still counts while every body byte it announced is already here.
bool PeerStillThere(int fd, bool wholeBodyHere) {
  pollfd pf{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&pf, 1, 0) <= 0) return true;
  if (pf.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
  if (pf.revents & POLLRDHUP) {
    char byte;
    if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) return true;
    return wholeBodyHere;
  }
  return true;
}

// The request's scripting context, host request and host response in one.
// Once the header is parsed the body is a known number of raw bytes (chunked
// bodies are refused before), so BinaryRead takes them straight from the
// socket into the reader's chunk, never past the body: first what the header
// read left in the connection's buffer, then recv() itself, waiting in poll()
// with the read deadline only when nothing has arrived. Write collects the
// answer's text.
class SocketPageHost final : public ScriptingContext, public HostRequest, public HostResponse {
 public:
  SocketPageHost(Connection& conn, int64_t length, bool expectContinue, std::chrono::milliseconds ioTimeout)
      : conn_(conn), length_(length), remaining_(length), expectContinue_(expectContinue), ioTimeout_(ioTimeout) {}

  std::shared_ptr<HostRequest> Request() override {
    return std::static_pointer_cast<SocketPageHost>(shared_from_this());
  }
  std::shared_ptr<HostResponse> Response() override {
    return std::static_pointer_cast<SocketPageHost>(shared_from_this());
  }

  int64_t TotalBytes() override { return length_; }

  size_t BinaryRead(uint8_t* into, size_t count) override {
    if (failed_) hosterr::RaiseReadFailed(failure_);
    if (remaining_ == 0) hosterr::RaiseEndOfBody();
    if (count == 0) RaiseRuntimeError(errnum::kInvalidProcedureCall);
    size_t want = static_cast<size_t>(std::min<int64_t>(remaining_, static_cast<int64_t>(count)));

    if (expectContinue_) {
      // Beast never sends it: the client learns that its body is wanted only
      // now, so a request refused earlier costs it no upload.
      expectContinue_ = false;
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      auto ec = conn_.Run(ioTimeout_, [&](auto handler) {
        net::async_write(conn_.stream(), net::buffer(kContinue.data(), kContinue.size()), handler);
      });
      if (ec) Fail(ec);
    }
    auto& buffered = conn_.buffer();
    if (buffered.size() > 0) {
      size_t n = net::buffer_copy(net::buffer(into, want), buffered.data());
      buffered.consume(n);
      fresh_ = false;
      return Took(n);
    }
    fresh_ = true;
    return Took(Receive(into, want));
  }

  void Write(std::string_view text) override { written_.append(text); }

  // Called after every chunk. Bytes that recv() has just delivered show the
  // client was there a moment ago, and a close right after them surfaces at
  // the next read, so only bytes from the buffer cost a look at the socket.
  bool IsClientConnected() override {
    if (failed_) return false;
    if (fresh_) return true;
    return PeerStillThere(conn_.fd(), remaining_ <= static_cast<int64_t>(conn_.buffer().size()));
  }

  // Every announced body byte has been read.
  bool bodyDone() const { return remaining_ == 0; }

  // Leaves the socket as the header reads expect it, waking on every byte.
  // Called once the body has been read as far as it will be.
  void EndBody() { SetLowWater(1); }

  bool failed() const { return failed_; }
  const std::string& failure() const { return failure_; }
  // One word for the log: client-gone, read-timeout, cut-at-shutdown, read-error.
  const std::string& note() const { return note_; }
  int64_t received() const { return received_; }
  std::string& written() { return written_; }

 private:
  size_t Took(size_t n) {
    remaining_ -= static_cast<int64_t>(n);
    received_ += static_cast<int64_t>(n);
    return n;
  }

  // Receives up to `want` (> 0) bytes from the socket: those already
  // waiting, else the first to arrive within the read deadline. Raises when
  // the client has closed, the deadline passes or the socket fails.
  size_t Receive(uint8_t* into, size_t want) {
    const int fd = conn_.fd();
    const auto deadline = std::chrono::steady_clock::now() + ioTimeout_;
    bool batch = true;
    for (;;) {
      // After a cut the socket reads as closed; the flag gives the reason.
      if (conn_.cut()) Fail(net::error::operation_aborted);
      ssize_t n = ::recv(fd, into, want, MSG_DONTWAIT);
      if (n > 0) return static_cast<size_t>(n);
      if (n == 0) Fail(http::error::partial_message);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Fail(beast::error_code(errno, beast::system_category()));
      // Nothing yet. Wait for a batch of bytes, for kBatchPatience at most,
      // then for any byte; a close or an error ends either wait, and the
      // next recv() reports what there is.
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) Fail(beast::error::timeout);
      auto until = deadline;
      if (batch) {
        batch = false;
        until = std::min(deadline, now + kBatchPatience);
        SetLowWater(static_cast<int>(std::min<int64_t>(remaining_, kBodyBatch)));
      } else {
        SetLowWater(1);
      }
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
      pollfd pf{fd, POLLIN | POLLRDHUP, 0};
      if (::poll(&pf, 1, static_cast<int>(std::min<int64_t>(wait.count(), INT32_MAX))) < 0 && errno != EINTR) {
        Fail(beast::error_code(errno, beast::system_category()));
      }
    }
  }

  // The socket's receive low-water mark: poll() reports it readable once
  // this many bytes are waiting, or on a close or an error.
  void SetLowWater(int bytes) {
    if (bytes == lowWater_) return;
    if (::setsockopt(conn_.fd(), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0) lowWater_ = bytes;
  }

  // Records why the body cannot be read any further, and raises that.
  [[noreturn]] void Fail(const beast::error_code& ec) {
    failed_ = true;
    if (conn_.cut()) {
      failure_ = "cut off at shutdown";
      note_ = "cut-at-shutdown";
    } else if (ec == beast::error::timeout) {
      failure_ = "no body bytes within the read deadline";
      note_ = "read-timeout";
    } else if (ec == http::error::partial_message || ec == http::error::end_of_stream ||
               ec == net::error::connection_reset || ec == net::error::eof) {
      failure_ = "the client closed the connection";
      note_ = "client-gone";
    } else {
      failure_ = ec.message();
      note_ = "read-error";
    }
    hosterr::RaiseReadFailed(failure_);
  }

  Connection& conn_;
  int64_t length_;
  int64_t remaining_;
  bool expectContinue_;
  std::chrono::milliseconds ioTimeout_;
  bool failed_ = false;
  std::string failure_;
  std::string note_;
  int64_t received_ = 0;
  bool fresh_ = false;  // the last read took its bytes from recv()
  int lowWater_ = 1;    // the socket's SO_RCVLOWAT
  std::string written_;
};

struct SendOptions {
  bool head = false;       // HEAD: headers only
  bool keepAlive = false;  // the connection may serve another request
  const char* allow = nullptr;
};

// A 503 answered on the accepting thread, without a thread of its own.
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

}  // namespace

struct HttpServer::Impl : std::enable_shared_from_this<HttpServer::Impl> {
  explicit Impl(HttpServerOptions o) : options(std::move(o)) {}

  HttpServerOptions options;
  net::io_context acceptIoc{1};
  tcp::acceptor acceptor{acceptIoc};
  net::steady_timer retryTimer{acceptIoc};
  int refusing = 0;  // accepting thread only

  std::mutex mutex;
  std::condition_variable allEnded;
  std::unordered_map<Connection*, bool> live;  // connection -> busy with a request
  int threads = 0;                             // connection threads not yet ended
  int stopCalls = 0;

  void Accept() {
    acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
      if (!self->acceptor.is_open()) return;
      if (ec) {
        // Out of descriptors and the like: try again shortly, not in a spin.
        self->retryTimer.expires_after(kAcceptRetryDelay);
        self->retryTimer.async_wait([self](beast::error_code waitEc) {
          if (!waitEc) self->Accept();
        });
        return;
      }
      self->Dispatch(std::move(socket));
      self->Accept();
    });
  }

  void Dispatch(tcp::socket socket) {
    beast::error_code ec;
    tcp protocol = socket.local_endpoint(ec).protocol();
    if (ec) return;
    std::unique_lock lock(mutex);
    if (stopCalls > 0) return;  // the socket closes here
    if (threads >= options.maxConnections) {
      lock.unlock();
      Refuse(std::move(socket));
      return;
    }
    auto fd = socket.release(ec);
    if (ec) return;
    auto conn = std::make_unique<Connection>(fd, protocol);
    Connection* key = conn.get();
    live.emplace(key, false);
    ++threads;
    try {
      std::thread([self = shared_from_this(), conn = std::move(conn)]() mutable {
        self->Serve(std::move(conn));
      }).detach();
    } catch (const std::system_error&) {
      // No thread to be had: the connection is closed with the lambda.
      live.erase(key);
      --threads;
    }
  }

  void Refuse(tcp::socket socket) {
    if (refusing >= kMaxRefusing) return;
    ++refusing;
    auto r = std::make_shared<Refusal>(std::move(socket));
    beast::error_code ec;
    tcp::endpoint peer = r->stream.socket().remote_endpoint(ec);
    r->peer = ec ? "-" : FormatEndpoint(peer);
    PageAnswer answer = AnswerRefusal(503, "The server is serving as many connections as it may; try again later.",
                                      false);
    r->text = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: " + answer.contentType +
              "\r\nContent-Length: " + std::to_string(answer.body.size()) +
              "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + answer.body;
    r->stream.expires_after(kLingerTime);
    net::async_write(r->stream, net::buffer(r->text), [self = shared_from_this(), r](beast::error_code e, size_t) {
      if (e) {
        self->EndRefusal(*r);
        return;
      }
      beast::error_code ignored;
      r->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
      self->DrainRefused(r);
    });
  }

  void DrainRefused(const std::shared_ptr<Refusal>& r) {
    r->stream.async_read_some(net::buffer(r->sink), [self = shared_from_this(), r](beast::error_code e, size_t n) {
      r->dropped += n;
      if (e || r->dropped >= kLingerBytes) {
        self->EndRefusal(*r);
      } else {
        self->DrainRefused(r);
      }
    });
  }

  void EndRefusal(Refusal& r) {
    --refusing;
    RequestLogEntry entry;
    entry.start = r.start;
    entry.peer = r.peer;
    entry.method = "-";
    entry.path = "-";
    entry.status = 503;
    entry.duration = std::chrono::steady_clock::now() - r.started;
    entry.note = "connection-limit";
    WriteRequestLog(entry);
  }

  // False once the server is stopping: the connection ends.
  bool MarkIdle(Connection* conn) {
    std::lock_guard lock(mutex);
    if (stopCalls > 0) return false;
    live[conn] = false;
    return true;
  }

  void MarkBusy(Connection* conn) {
    std::lock_guard lock(mutex);
    live[conn] = true;
  }

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stopCalls > 0;
  }

  void Serve(std::unique_ptr<Connection> conn) {
    Connection* key = conn.get();
    bool drain = false;
    try {
      drain = Session(*conn);
    } catch (const std::exception& e) {
      // Nothing may leave a connection thread; this connection ends, the
      // server goes on.
      RequestLogEntry entry;
      entry.peer = conn->peer();
      entry.start = std::chrono::system_clock::now();
      entry.note = std::string("internal-error:") + e.what();
      WriteRequestLog(entry);
    }
    {
      // Out of reach of Cut() before it goes away.
      std::lock_guard lock(mutex);
      live.erase(key);
    }
    try {
      conn->Close(drain);
    } catch (const std::exception&) {
    }
    conn.reset();
    std::lock_guard lock(mutex);
    if (--threads == 0) allEnded.notify_all();
  }

  // Serves requests on one connection until it ends. Returns whether
  // unread request bytes should be drained before closing.
  bool Session(Connection& conn) {
    bool drain = false;
    while (MarkIdle(&conn)) {
      Parser parser;
      parser.header_limit(kHeaderLimit);
      parser.body_limit(boost::none);  // Beast's default would refuse bodies over 8 MB
      RequestLogEntry entry;
      entry.peer = conn.peer();
      entry.start = std::chrono::system_clock::now();
      auto started = std::chrono::steady_clock::now();
      size_t bufferedBefore = conn.buffer().size();
      auto ec = conn.Run(options.headerTimeout, [&](auto handler) {
        http::async_read_header(conn.stream(), conn.buffer(), parser, handler);
      });
      if (ec) return AnswerHeaderFailure(conn, ec, parser, bufferedBefore, entry, started);
      MarkBusy(&conn);
      bool keepAlive = HandleRequest(conn, parser, entry, drain);
      entry.duration = std::chrono::steady_clock::now() - started;
      WriteRequestLog(entry);
      if (!keepAlive) return drain;
    }
    return drain;
  }

  // Answers a header that could not be read, when there is someone to
  // answer. Returns whether unread bytes should be drained before closing.
  bool AnswerHeaderFailure(Connection& conn, const beast::error_code& ec, Parser& parser, size_t bufferedBefore,
                           RequestLogEntry& entry, std::chrono::steady_clock::time_point started) {
    bool sawBytes = parser.got_some() || bufferedBefore > 0 || conn.buffer().size() > 0;
    if (!IsHttpParseError(ec)) {
      if (ec == beast::error::timeout && sawBytes) {
        entry.method = "-";
        entry.path = "-";
        entry.note = "header-timeout";
        entry.duration = std::chrono::steady_clock::now() - started;
        WriteRequestLog(entry);
      }
      return false;
    }
    int status = ec == http::error::header_limit ? 431 : 400;
    std::string why = status == 431 ? "The request header is larger than 16 KiB."
                                    : "The request could not be parsed: " + ec.message() + ".";
    Send(conn, AnswerRefusal(status, why, false), SendOptions{});
    entry.method = parser.get().method_string().empty() ? "-" : std::string(parser.get().method_string());
    entry.path = std::string(parser.get().target());
    entry.status = status;
    entry.note = status == 431 ? "header-too-large" : "bad-request";
    entry.duration = std::chrono::steady_clock::now() - started;
    WriteRequestLog(entry);
    return true;
  }

  // Answers one request whose header has been read. Returns whether the
  // connection may serve another; sets `drain` when body bytes were left
  // unread.
  bool HandleRequest(Connection& conn, Parser& parser, RequestLogEntry& entry, bool& drain) {
    auto& req = parser.get();
    std::string_view target = req.target();
    std::string_view path = target.substr(0, target.find('?'));
    entry.method = std::string(req.method_string());
    entry.path = std::string(target);
    bool json = AcceptsJson(req[http::field::accept]);
    bool bodyUnread = !parser.is_done();
    SendOptions send;
    send.keepAlive = req.keep_alive() && !bodyUnread && !Stopping();
    drain = bodyUnread;

    auto answer = [&](const PageAnswer& a) {
      entry.status = a.status;
      return Send(conn, a, send);
    };
    if (path != "/") return answer(AnswerRefusal(404, "There is no page here; the upload page is at /.", json));
    switch (req.method()) {
      case http::verb::head:
        send.head = true;
        [[fallthrough]];
      case http::verb::get:
        return answer(AnswerUploadPage());
      case http::verb::post:
        return HandleUpload(conn, parser, entry, drain, json);
      default:
        send.allow = "GET, HEAD, POST";
        return answer(AnswerRefusal(405, "The upload page accepts GET, HEAD and POST.", json));
    }
  }

  bool HandleUpload(Connection& conn, Parser& parser, RequestLogEntry& entry, bool& drain, bool json) {
    auto& req = parser.get();
    SendOptions send;
    auto refuse = [&](int status, std::string_view why) {
      entry.status = status;
      Send(conn, AnswerRefusal(status, why, json), send);
      return false;
    };
    if (parser.chunked() || !parser.content_length()) {
      return refuse(411, "An upload needs a Content-Length; chunked request bodies are not accepted.");
    }
    uint64_t announced = *parser.content_length();
    if (announced > static_cast<uint64_t>(INT64_MAX) ||
        (options.maxRequestSize && static_cast<int64_t>(announced) > *options.maxRequestSize)) {
      return refuse(413, "The request body is larger than this server accepts (" +
                             std::to_string(options.maxRequestSize.value_or(INT64_MAX)) + " bytes).");
    }
    bool expectContinue = beast::iequals(req[http::field::expect], "100-continue");
    auto host = std::make_shared<SocketPageHost>(conn, static_cast<int64_t>(announced), expectContinue,
                                                 options.ioTimeout);
    PageResult page = RunUploadPage(host, options.page);
    host->EndBody();
    page.response = std::move(host->written());
    entry.bodyBytes = host->received();
    entry.items = static_cast<int64_t>(page.form.size());
    entry.filesStored = page.filesStored;
    entry.parseFailure = page.parseFailure;
    if (host->failed()) {
      // Nobody is left to answer, or the connection is beyond use.
      entry.note = host->note();
      drain = false;
      return false;
    }
    drain = !host->bodyDone();
    send.keepAlive = req.keep_alive() && host->bodyDone() && !Stopping();
    PageAnswer a = AnswerPageResult(page, json);
    entry.status = a.status;
    return Send(conn, a, send);
  }

  // Writes an answer. Returns whether the connection may serve another
  // request.
  bool Send(Connection& conn, const PageAnswer& a, const SendOptions& o) {
    http::response<http::string_body> res{static_cast<http::status>(a.status), 11};
    res.set(http::field::server, "parcelmoor");
    res.set(http::field::content_type, a.contentType);
    res.set(http::field::cache_control, "no-store");
    if (o.allow) res.set(http::field::allow, o.allow);
    res.keep_alive(o.keepAlive);
    if (o.head) {
      res.content_length(a.body.size());
    } else {
      res.body() = a.body;
      res.prepare_payload();
    }
    auto ec = conn.Run(options.ioTimeout, [&](auto handler) { http::async_write(conn.stream(), res, handler); });
    return !ec && o.keepAlive;
  }
};

HttpServer::HttpServer(HttpServerOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {}

HttpServer::~HttpServer() = default;

uint16_t HttpServer::Listen() {
  auto& o = impl_->options;
  try {
    tcp::endpoint endpoint(net::ip::make_address(o.bind), o.port);
    auto& acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
    return acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + o.bind + " port " + std::to_string(o.port) + ": " +
                             e.code().message());
  }
}

void HttpServer::Run() {
  Impl& impl = *impl_;
  impl.Accept();
  impl.acceptIoc.run();  // until Stop() closes the acceptor and refusals end

  std::unique_lock lock(impl.mutex);
  impl.allEnded.wait_for(lock, impl.options.shutdownGrace, [&] { return impl.threads == 0; });
  for (auto& [conn, busy] : impl.live) conn->Cut();
  impl.allEnded.wait_for(lock, kCutWait, [&] { return impl.threads == 0; });
}

void HttpServer::Stop() {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.mutex);
    ++impl.stopCalls;
    // Idle connections end now; busy ones get the grace period, unless
    // this is a second request to stop.
    for (auto& [conn, busy] : impl.live) {
      if (!busy || impl.stopCalls > 1) conn->Cut();
    }
  }
  net::post(impl.acceptIoc, [self = impl.shared_from_this()] {
    beast::error_code ec;
    self->acceptor.close(ec);
    self->retryTimer.cancel();
  });
}

}  // namespace parcelmoor
