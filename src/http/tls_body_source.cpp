#include "http/tls_body_source.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace parcelmoor::httpd {
namespace {

// Ciphertext OpenSSL may already hold of the bytes a low-water mark counts
// (a record's worth): the mark on the socket is that much lower, so that
// the end of a body never waits for bytes that are not coming.
constexpr int kHeldBack = 20 * 1024;

}  // namespace

ssize_t TlsBodySource::Receive(uint8_t* into, size_t want) {
  size_t total = 0;
  // One call decrypts one record; a batch of them makes a chunk.
  while (total < want) {
    size_t got = 0;
    ERR_clear_error();
    int rc = SSL_read_ex(ssl_, into + total, want - total, &got);
    if (rc == 1) {
      total += got;
      continue;
    }
    // What stopped the batch shows again at the next call.
    if (total > 0) {
      ERR_clear_error();
      break;
    }
    return Failed(rc);
  }
  return static_cast<ssize_t>(total);
}

ssize_t TlsBodySource::Send(const char* data, size_t size) {
  size_t put = 0;
  ERR_clear_error();
  int rc = SSL_write_ex(ssl_, data, size, &put);
  if (rc == 1) return static_cast<ssize_t>(put);
  return Failed(rc);
}

ssize_t TlsBodySource::Failed(int rc) {
  const int e = SSL_get_error(ssl_, rc);
  const int sysErrno = errno;
  ERR_clear_error();
  switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      needsWrite_ = e == SSL_ERROR_WANT_WRITE;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN: return 0;
    case SSL_ERROR_SYSCALL:
      if (sysErrno == 0) return 0;
      errno = sysErrno;
      return -1;
    default: errno = EPROTO; return -1;
  }
}

int TlsBodySource::Wait(bool forSending, Clock::time_point until) {
  if (!forSending && SSL_pending(ssl_) > 0) return 0;
  return PollSocket(fd_, needsWrite_ ? POLLOUT : POLLIN, until);
}

bool TlsBodySource::PeerStillThere(bool wholeBodyHere) {
  return SSL_pending(ssl_) > 0 || SocketPeerStillThere(fd_, wholeBodyHere);
}

void TlsBodySource::SetLowWater(int bytes) {
  SetSocketLowWater(fd_, bytes > kHeldBack ? bytes - kHeldBack : 1, lowWater_);
}

}  // namespace parcelmoor::httpd
