#pragma once
// A TLS connection on the event loop: the handshake, the request header and
// the answers, through Beast as a plain connection's are (the class is an
// AsyncReadStream and AsyncWriteStream). OpenSSL works on the descriptor
// itself rather than on a memory pipe, so that kernel TLS can carry the
// records and the upload's thread can go on with the same session
// (TlsBodySource) once the loop has let the socket go. One operation at a
// time, which is all a connection ever has in flight.

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "http/body_source.h"

struct ssl_st;

namespace parcelmoor::httpd {

class TlsStream {
 public:
  using executor_type = boost::asio::any_io_executor;
  using Clock = std::chrono::steady_clock;

  // Owns `ssl` (made on `tcp`'s descriptor).
  TlsStream(boost::beast::tcp_stream& tcp, ssl_st* ssl);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  executor_type get_executor() { return tcp_.get_executor(); }
  // The deadline of the operations started from now on.
  void expires_after(Clock::duration d) { deadline_ = Clock::now() + d; }
  // The handshake failed because the client spoke plain HTTP.
  bool plainHttp() const { return plainHttp_; }
  // Sends close_notify if it can without waiting.
  void Shutdown();
  // The body's reads, on the upload's thread, through this session.
  std::unique_ptr<BodySource> BodySourceOn(int fd);

  template <class Token>
  auto async_handshake(Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::beast::error_code)>(
        [this](auto handler) {
          Drive([this] { return Handshake(); },
                [h = std::move(handler)](boost::beast::error_code ec, size_t) mutable { h(ec); });
        },
        token);
  }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::beast::error_code, size_t)>(
        [this](auto handler, boost::asio::mutable_buffer into) {
          Drive([this, into] { return Read(into.data(), into.size()); }, std::move(handler));
        },
        token, boost::asio::mutable_buffer(boost::beast::buffers_front(buffers)));
  }

  // Sends up to one record's worth of `buffers`, gathered in one piece so
  // that a header's many small buffers make one record.
  template <class Buffers, class Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    std::vector<char> bytes(std::min<size_t>(boost::asio::buffer_size(buffers), kRecord));
    boost::asio::buffer_copy(boost::asio::buffer(bytes), buffers);
    return boost::asio::async_initiate<Token, void(boost::beast::error_code, size_t)>(
        [this](auto handler, std::vector<char> bytes) {
          Drive([this, bytes = std::move(bytes)] { return Write(bytes.data(), bytes.size()); }, std::move(handler));
        },
        token, std::move(bytes));
  }

 private:
  static constexpr size_t kRecord = 16 * 1024;
  enum class Want { kNothing, kRead, kWrite };
  struct Progress {
    boost::beast::error_code ec;
    size_t bytes = 0;
    Want want = Want::kNothing;
  };
  // What the timer of a wait may still touch once the stream is gone.
  struct Turn {
    bool alive = true;
    unsigned number = 0;
  };

  Progress Handshake();
  Progress Read(void* into, size_t size);
  Progress Write(const void* from, size_t size);
  Progress Outcome(int rc, size_t bytes);

  // Runs `step` until it completes, waiting on the socket between tries
  // as OpenSSL asks, up to the deadline; the handler runs from the loop.
  template <class Step, class Handler>
  void Drive(Step step, Handler handler) {
    Progress p = step();
    if (p.want != Want::kNothing && Clock::now() >= deadline_) p = {boost::beast::error::timeout, 0, Want::kNothing};
    if (p.want == Want::kNothing) {
      boost::asio::post(tcp_.get_executor(), [h = std::move(handler), p]() mutable { h(p.ec, p.bytes); });
      return;
    }
    const unsigned number = ++turn_->number;
    timer_.expires_at(deadline_);
    timer_.async_wait([turn = turn_, number, socket = &tcp_.socket()](boost::beast::error_code ec) {
      if (!ec && turn->alive && turn->number == number) socket->cancel();
    });
    auto type = p.want == Want::kRead ? boost::asio::socket_base::wait_read : boost::asio::socket_base::wait_write;
    tcp_.socket().async_wait(type, [this, step = std::move(step), h = std::move(handler)](boost::beast::error_code ec) mutable {
      ++turn_->number;
      timer_.cancel();
      if (ec == boost::asio::error::operation_aborted && Clock::now() >= deadline_) ec = boost::beast::error::timeout;
      if (ec) return h(ec, 0);
      Drive(std::move(step), std::move(h));
    });
  }

  boost::beast::tcp_stream& tcp_;
  ssl_st* ssl_;
  boost::asio::steady_timer timer_;
  std::shared_ptr<Turn> turn_ = std::make_shared<Turn>();
  Clock::time_point deadline_ = Clock::time_point::max();
  bool plainHttp_ = false;
};

}  // namespace parcelmoor::httpd
