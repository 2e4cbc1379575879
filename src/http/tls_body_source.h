#pragma once
// A body read through TLS on the upload's thread: records decrypted by
// OpenSSL (or by the kernel, with kernel TLS) from the descriptor the event
// loop has let go, with the session the loop's TlsStream made.

#include "http/body_source.h"

struct ssl_st;

namespace parcelmoor::httpd {

class TlsBodySource final : public BodySource {
 public:
  TlsBodySource(ssl_st* ssl, int fd) : ssl_(ssl), fd_(fd) {}
  // Decrypts as many records as are here, up to `want` bytes.
  ssize_t Receive(uint8_t* into, size_t want) override;
  ssize_t Send(const char* data, size_t size) override;
  int Wait(bool forSending, Clock::time_point until) override;
  bool PeerStillThere(bool wholeBodyHere) override;
  void SetLowWater(int bytes) override;

 private:
  // errno and the return of Receive or Send for an OpenSSL failure.
  ssize_t Failed(int rc);

  ssl_st* ssl_;
  int fd_;
  bool needsWrite_ = false;  // OpenSSL's last call waits to write, not to read
  int lowWater_ = 1;
};

}  // namespace parcelmoor::httpd
