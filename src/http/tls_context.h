#pragma once
// The server's TLS settings (--tls-cert, --tls-key): TLS 1.2 and 1.3 with
// forward-secret AEAD ciphers only, ALPN http/1.1, and kernel TLS asked for
// where the kernel offers it. Reload() reads the files again (SIGHUP): new
// connections get the new certificate, running ones keep the one they
// started with. Callable from any thread.

#include <memory>
#include <mutex>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace parcelmoor::httpd {

class TlsContext {
 public:
  // Throws std::runtime_error saying which file is wrong and why.
  TlsContext(std::string certFile, std::string keyFile);

  // Reads the files again. On failure the certificate in use stays, and
  // the reason is returned; "" on success.
  std::string Reload();
  // A session for a new connection on `fd` (its owner frees it with
  // SSL_free), or nullptr when OpenSSL cannot make one.
  ssl_st* NewSession(int fd);

 private:
  std::shared_ptr<ssl_ctx_st> Load() const;

  const std::string certFile_;
  const std::string keyFile_;
  std::mutex mutex_;
  std::shared_ptr<ssl_ctx_st> current_;
};

}  // namespace parcelmoor::httpd
