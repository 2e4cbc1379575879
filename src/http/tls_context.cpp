#include "http/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace parcelmoor::httpd {
namespace {

// TLS 1.2's ciphers: ECDHE key exchange and AEAD only (1.3's are all so).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// TLS 1.3's, AES-128-GCM first: as strong as a client needs, and the
// cheapest to decrypt where the processor has AES instructions.
constexpr const char* kTls13Suites = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The server speaks HTTP/1.1 only: a client offering ALPN gets that, or
// no ALPN at all when it offers something else.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned int inlen,
               void*) {
  static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, outlen, kHttp11, sizeof kHttp11, in, inlen) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

TlsContext::TlsContext(std::string certFile, std::string keyFile)
    : certFile_(std::move(certFile)), keyFile_(std::move(keyFile)), current_(Load()) {}

std::shared_ptr<ssl_ctx_st> TlsContext::Load() const {
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) throw std::runtime_error("cannot set TLS up: " + OpenSslError());
  SSL_CTX* c = ctx.get();
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(c, kTls12Ciphers) != 1 || SSL_CTX_set_ciphersuites(c, kTls13Suites) != 1) throw std::runtime_error("cannot set TLS up: " + OpenSslError());
  // Kernel TLS carries the records where the kernel has it; otherwise
  // OpenSSL does, and nothing else changes. A client that closes without
  // close_notify reads as a plain close: the body's length tells whether
  // anything is missing.
  SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_ENABLE_KTLS |
                             SSL_OP_IGNORE_UNEXPECTED_EOF);
  // An idle connection (keep-alive, a slot wait) holds no record buffers.
  SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_alpn_select_cb(c, SelectAlpn, nullptr);
  if (SSL_CTX_use_certificate_chain_file(c, certFile_.c_str()) != 1) {
    throw std::runtime_error("cannot use --tls-cert " + certFile_ + ": " + OpenSslError());
  }
  if (SSL_CTX_use_PrivateKey_file(c, keyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot use --tls-key " + keyFile_ + ": " + OpenSslError());
  }
  if (SSL_CTX_check_private_key(c) != 1) {
    throw std::runtime_error("--tls-key " + keyFile_ + " does not belong to --tls-cert " + certFile_);
  }
  return ctx;
}

std::string TlsContext::Reload() {
  try {
    auto fresh = Load();
    std::lock_guard lock(mutex_);
    current_ = std::move(fresh);
    return {};
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

ssl_st* TlsContext::NewSession(int fd) {
  std::shared_ptr<SSL_CTX> ctx;
  {
    std::lock_guard lock(mutex_);
    ctx = current_;
  }
  // The session holds its own reference to the context it was made from.
  SSL* ssl = SSL_new(ctx.get());
  if (ssl && SSL_set_fd(ssl, fd) == 1) {
    SSL_set_accept_state(ssl);
    return ssl;
  }
  SSL_free(ssl);
  ERR_clear_error();
  return nullptr;
}

}  // namespace parcelmoor::httpd
