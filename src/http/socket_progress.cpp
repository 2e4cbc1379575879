// Linux's own tcp_info: the C library's copy lacks the byte counters. Kept
// apart from Asio's headers, which bring the C library's.
#include "http/socket_progress.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace parcelmoor::httpd {

int64_t BytesReceivedOn(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return -1;
  if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return -1;
  return static_cast<int64_t>(info.tcpi_bytes_received);
}

}  // namespace parcelmoor::httpd
