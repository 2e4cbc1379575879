#include "http/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>

#include "http/tls_body_source.h"

namespace parcelmoor::httpd {

namespace net = boost::asio;

TlsStream::TlsStream(boost::beast::tcp_stream& tcp, ssl_st* ssl)
    : tcp_(tcp), ssl_(ssl), timer_(tcp.get_executor()) {
  // OpenSSL's reads and writes on the descriptor must never block the loop.
  boost::beast::error_code ec;
  tcp_.socket().non_blocking(true, ec);
}

TlsStream::~TlsStream() {
  turn_->alive = false;
  SSL_free(ssl_);
}

void TlsStream::Shutdown() {
  if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::unique_ptr<BodySource> TlsStream::BodySourceOn(int fd) { return std::make_unique<TlsBodySource>(ssl_, fd); }

TlsStream::Progress TlsStream::Handshake() {
  ERR_clear_error();
  return Outcome(SSL_do_handshake(ssl_), 0);
}

TlsStream::Progress TlsStream::Read(void* into, size_t size) {
  if (size == 0) return {};
  size_t got = 0;
  ERR_clear_error();
  const int rc = SSL_read_ex(ssl_, into, size, &got);
  return Outcome(rc, got);
}

TlsStream::Progress TlsStream::Write(const void* from, size_t size) {
  if (size == 0) return {};
  size_t put = 0;
  ERR_clear_error();
  const int rc = SSL_write_ex(ssl_, from, size, &put);
  return Outcome(rc, put);
}

TlsStream::Progress TlsStream::Outcome(int rc, size_t bytes) {
  if (rc == 1) return {{}, bytes, Want::kNothing};
  switch (SSL_get_error(ssl_, rc)) {
    case SSL_ERROR_WANT_READ: return {{}, 0, Want::kRead};
    case SSL_ERROR_WANT_WRITE: return {{}, 0, Want::kWrite};
    case SSL_ERROR_ZERO_RETURN: return {net::error::eof, 0, Want::kNothing};
    case SSL_ERROR_SYSCALL:
      if (errno == 0) return {net::error::eof, 0, Want::kNothing};
      return {boost::beast::error_code(errno, boost::beast::system_category()), 0, Want::kNothing};
    default: {
      unsigned long e = ERR_peek_error();
      plainHttp_ = ERR_GET_REASON(e) == SSL_R_HTTP_REQUEST;
      ERR_clear_error();
      return {boost::beast::error_code(static_cast<int>(e), net::error::get_ssl_category()), 0, Want::kNothing};
    }
  }
}

}  // namespace parcelmoor::httpd
