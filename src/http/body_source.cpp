#include "http/body_source.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace parcelmoor::httpd {

int PollSocket(int fd, short events, BodySource::Clock::time_point until) {
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - BodySource::Clock::now());
  pollfd pf{fd, static_cast<short>(events | POLLRDHUP), 0};
  int ms = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, INT32_MAX));
  if (::poll(&pf, 1, ms) < 0 && errno != EINTR) return errno;
  return 0;
}

bool SocketPeerStillThere(int fd, bool wholeBodyHere) {
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

// poll() reports the socket readable once this many bytes are waiting, or
// on a close or an error: a fast client wakes the reader once per batch.
void SetSocketLowWater(int fd, int bytes, int& current) {
  if (bytes == current) return;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0) current = bytes;
}

ssize_t PlainBodySource::Receive(uint8_t* into, size_t want) { return ::recv(fd_, into, want, MSG_DONTWAIT); }

ssize_t PlainBodySource::Send(const char* data, size_t size) {
  return ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

int PlainBodySource::Wait(bool forSending, Clock::time_point until) {
  return PollSocket(fd_, forSending ? POLLOUT : POLLIN, until);
}

bool PlainBodySource::PeerStillThere(bool wholeBodyHere) { return SocketPeerStillThere(fd_, wholeBodyHere); }

void PlainBodySource::SetLowWater(int bytes) { SetSocketLowWater(fd_, bytes, lowWater_); }

}  // namespace parcelmoor::httpd
