// A large body read ahead from the socket: every byte handed out once and in
// order, never a byte past the body's end (the next request's), and each
// chunk still whole while the next one is read, however the client sends.

#include "http/socket_page_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <boost/beast/core/flat_buffer.hpp>

namespace parcelmoor::httpd {
namespace {

// A connected pair of loopback TCP sockets: {server side, client side}.
std::pair<int, int> LoopbackPair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  EXPECT_EQ(::listen(listener, 1), 0);
  EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
  const int server = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  const int room = 1 << 20;  // so that a small stream can wait whole in the socket
  ::setsockopt(server, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  return {server, client};
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
  return bytes;
}

TEST(SocketPageHostTest, ReadsALargeBodyAheadButNeverPastItsEnd) {
  struct Case {
    size_t bodySize;
    size_t sendPiece;  // the client's write size
  };
  const std::string next = "GET / HTTP/1.1\r\n\r\n";  // the next request, right behind the body
  for (const Case& c : {Case{300'000, 1 << 20}, Case{1'300'000, 1 << 20}, Case{3 * 512 * 1024, 1 << 20},
                        Case{1'300'000, 10'000}}) {
    SCOPED_TRACE(std::to_string(c.bodySize) + " sent " + std::to_string(c.sendPiece) + " at a time");
    const auto [server, client] = LoopbackPair();
    const std::string body = Pattern(c.bodySize, static_cast<unsigned>(c.sendPiece));
    std::thread sender([&, client = client] {
      const std::string all = body + next;
      for (size_t at = 0; at < all.size();) {
        const ssize_t n = ::send(client, all.data() + at, std::min(c.sendPiece, all.size() - at), MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
      }
    });
    if (c.bodySize < 400'000) {
      // The whole stream waiting before the first read (where the socket
      // has the room): a read ahead that overshot would take the next
      // request's bytes.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      int waiting = 0;
      while (::ioctl(server, FIONREAD, &waiting) == 0 && waiting < static_cast<int>(body.size() + next.size()) &&
             std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    boost::beast::flat_buffer buffered;
    std::atomic<bool> cut{false};
    PlainBodySource source(server);
    auto host = std::make_shared<SocketPageHost>(BodySocket{source, buffered, cut},
                                                 static_cast<int64_t>(c.bodySize), false,
                                                 BodyLimits{.stall = std::chrono::seconds(2)});
    // Two scratch buffers in turn, as the reader has.
    std::string scratch[2] = {std::string(65535, '\0'), std::string(65535, '\0')};
    std::string got, previousCopy;
    std::span<const uint8_t> previous;
    for (int turn = 0; !host->bodyDone(); turn ^= 1) {
      std::span<const uint8_t> chunk;
      try {
        chunk = host->ReadBody(reinterpret_cast<uint8_t*>(scratch[turn].data()), 65535);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the read failed after " << got.size() << " bytes: " << e.what();
        break;
      }
      ASSERT_FALSE(chunk.empty());
      ASSERT_LE(chunk.size(), 65535u);
      // The chunk before this one is still as it was handed out.
      ASSERT_EQ(std::string(previous.begin(), previous.end()), previousCopy);
      previous = chunk;
      previousCopy.assign(chunk.begin(), chunk.end());
      got += previousCopy;
    }
    sender.join();
    EXPECT_TRUE(got == body);
    std::string rest(next.size() + 1, '\0');
    EXPECT_EQ(::recv(server, rest.data(), rest.size(), MSG_DONTWAIT), static_cast<ssize_t>(next.size()));
    EXPECT_EQ(rest.substr(0, next.size()), next);
    ::close(server);
    ::close(client);
  }
}

}  // namespace
}  // namespace parcelmoor::httpd
