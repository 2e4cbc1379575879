#pragma once
// Where a request body's bytes come from once the header is read: the one
// seam between SocketPageHost (deadlines, the minimum rate, the read-ahead
// and its batching) and the connection's transport. Plain TCP reads the
// descriptor; TLS (tls_body_source.h) decrypts records from it. A source is
// used by the upload's thread only, while the event loop leaves the
// connection alone; no call waits except Wait().

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace parcelmoor::httpd {

class BodySource {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~BodySource() = default;

  // Takes up to `want` (> 0) body bytes that are already here. Returns
  // their count; 0 when the peer has closed its side; -1 with errno set
  // otherwise (EAGAIN: none yet).
  virtual ssize_t Receive(uint8_t* into, size_t want) = 0;
  // Sends what it can of `size` bytes now; the same returns.
  virtual ssize_t Send(const char* data, size_t size) = 0;
  // Waits until the last Receive (with `forSending`: Send) can make
  // progress, the peer closes, or `until`. Returns the poll error, else 0.
  virtual int Wait(bool forSending, Clock::time_point until) = 0;
  // False once the client has visibly gone. One that closed its side still
  // counts while `wholeBodyHere`.
  virtual bool PeerStillThere(bool wholeBodyHere) = 0;
  // Wait() for a Receive returns only once about this many body bytes have
  // arrived (or on a close, an error or its deadline).
  virtual void SetLowWater(int bytes) = 0;
};

// A plain TCP connection: recv() straight into the caller's buffer, no copy
// in between.
class PlainBodySource final : public BodySource {
 public:
  explicit PlainBodySource(int fd) : fd_(fd) {}
  ssize_t Receive(uint8_t* into, size_t want) override;
  ssize_t Send(const char* data, size_t size) override;
  int Wait(bool forSending, Clock::time_point until) override;
  bool PeerStillThere(bool wholeBodyHere) override;
  void SetLowWater(int bytes) override;

 private:
  int fd_;
  int lowWater_ = 1;  // the socket's SO_RCVLOWAT
};

// Shared by the sources on a socket: poll() for `events` until `until`.
int PollSocket(int fd, short events, BodySource::Clock::time_point until);
// Shared likewise: the close test of PeerStillThere on the descriptor.
bool SocketPeerStillThere(int fd, bool wholeBodyHere);
// Sets SO_RCVLOWAT unless `current` already holds `bytes`.
void SetSocketLowWater(int fd, int bytes, int& current);

}  // namespace parcelmoor::httpd
