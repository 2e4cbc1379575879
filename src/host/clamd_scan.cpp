#include "host/clamd_scan.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/file_descriptor.h"
#include "runtime/operation_timing.h"

namespace parcelmoor {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kMostAnswerBytes = 4096;  // a verdict line is short; more is not clamd

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// A non-blocking connect to `address`, finished within the deadline.
FileDescriptor ConnectBy(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
  FileDescriptor fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (::connect(fd.get(), address, length) == 0) return fd;
  if (errno == EINPROGRESS && WaitFor(fd.get(), POLLOUT, deadline)) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return fd;
  }
  return FileDescriptor();
}

FileDescriptor Connect(const ClamdTarget& target, Clock::time_point deadline) {
  if (!target.unixPath.empty()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (target.unixPath.size() >= sizeof address.sun_path) return FileDescriptor();
    std::memcpy(address.sun_path, target.unixPath.data(), target.unixPath.size());
    return ConnectBy(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found) != 0) return FileDescriptor();
  FileDescriptor fd;
  for (addrinfo* a = found; a && !fd.valid(); a = a->ai_next) fd = ConnectBy(a->ai_family, a->ai_addr, a->ai_addrlen, deadline);
  ::freeaddrinfo(found);
  return fd;
}

bool SendAll(int fd, const uint8_t* bytes, size_t count, Clock::time_point deadline) {
  while (count > 0) {
    const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (n > 0) {
      bytes += n;
      count -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool SendChunk(int fd, const uint8_t* bytes, size_t count, Clock::time_point deadline) {
  const auto n = static_cast<uint32_t>(count);
  const std::array<uint8_t, 4> length{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  return SendAll(fd, length.data(), length.size(), deadline) && (count == 0 || SendAll(fd, bytes, count, deadline));
}

// The answer up to its terminating NUL (or the end of the connection).
std::optional<std::string> ReadAnswer(int fd, Clock::time_point deadline) {
  std::string answer;
  char buffer[512];
  while (answer.size() < kMostAnswerBytes) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      answer.append(buffer, static_cast<size_t>(n));
      if (const size_t end = answer.find('\0'); end != std::string::npos) return answer.substr(0, end);
    } else if (n == 0) {
      return answer;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (!WaitFor(fd, POLLIN, deadline)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// "stream: OK", "stream: NAME FOUND", or anything else (an ERROR line).
ScanVerdict Judge(std::string answer) {
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  constexpr std::string_view kPrefix = "stream: ";
  constexpr std::string_view kFound = " FOUND";
  if (answer == "stream: OK") return {ScanVerdict::Kind::kClean, {}};
  if (answer.starts_with(kPrefix) && answer.ends_with(kFound) && answer.size() > kPrefix.size() + kFound.size()) {
    return {ScanVerdict::Kind::kInfected,
            answer.substr(kPrefix.size(), answer.size() - kPrefix.size() - kFound.size())};
  }
  return {ScanVerdict::Kind::kNoVerdict, "the scanner answered: " + (answer.empty() ? "nothing" : answer)};
}

ScanVerdict ScanStream(const ClamdTarget& target, const std::string& path) {
  const Clock::time_point deadline = Clock::now() + target.timeout;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return {ScanVerdict::Kind::kNoVerdict, "the file to scan could not be read"};
  FileDescriptor socket = Connect(target, deadline);
  if (socket.get() < 0) return {ScanVerdict::Kind::kNoVerdict, target.describe() + " could not be reached"};

  static constexpr char kCommand[] = "zINSTREAM";  // sent with its NUL
  if (!SendAll(socket.get(), reinterpret_cast<const uint8_t*>(kCommand), sizeof kCommand, deadline)) {
    return {ScanVerdict::Kind::kNoVerdict, target.describe() + " did not take the file in time"};
  }
  std::vector<uint8_t> chunk(kChunkBytes);
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {ScanVerdict::Kind::kNoVerdict, "the file to scan could not be read"};
    // The zero-length chunk ends the stream.
    if (!SendChunk(socket.get(), chunk.data(), static_cast<size_t>(n), deadline)) {
      // A scanner over its stream limit answers and closes: read why.
      std::optional<std::string> answer = ReadAnswer(socket.get(), deadline);
      if (answer && !answer->empty()) return Judge(*answer);
      return {ScanVerdict::Kind::kNoVerdict, target.describe() + " did not take the file in time"};
    }
    if (n == 0) break;
  }
  std::optional<std::string> answer = ReadAnswer(socket.get(), deadline);
  if (!answer) return {ScanVerdict::Kind::kNoVerdict, target.describe() + " did not answer in time"};
  return Judge(*answer);
}

}  // namespace

std::optional<ClamdTarget> ClamdTarget::Parse(std::string_view text, std::string& why) {
  ClamdTarget target;
  if (text.starts_with("clamd:unix:")) {
    target.unixPath = std::string(text.substr(11));
    if (target.unixPath.empty() || target.unixPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
      why = "clamd:unix: needs a socket path of at most 107 bytes";
      return std::nullopt;
    }
    return target;
  }
  if (text.starts_with("clamd:tcp:")) {
    const std::string_view rest = text.substr(10);
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == rest.size()) {
      why = "clamd:tcp: needs HOST:PORT";
      return std::nullopt;
    }
    std::string_view host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    target.host = std::string(host);
    target.port = std::string(rest.substr(colon + 1));
    return target;
  }
  why = "expected clamd:unix:PATH or clamd:tcp:HOST:PORT";
  return std::nullopt;
}

std::string ClamdTarget::describe() const {
  return unixPath.empty() ? "clamd at " + host + ":" + port : "clamd at " + unixPath;
}

ScanVerdict ScanFileWithClamd(const ClamdTarget& target, const std::string& path) {
  const OperationTimer timer("scan");
  ScanVerdict verdict = ScanStream(target, path);
  timer.Done("", verdict.kind == ScanVerdict::Kind::kNoVerdict);
  return verdict;
}

bool PingClamd(const ClamdTarget& target, std::chrono::milliseconds timeout, std::string& why) {
  const Clock::time_point deadline = Clock::now() + std::min(timeout, target.timeout);
  FileDescriptor socket = Connect(target, deadline);
  if (socket.get() < 0) {
    why = target.describe() + " could not be reached";
    return false;
  }
  static constexpr char kCommand[] = "zPING";  // sent with its NUL
  std::optional<std::string> answer;
  if (SendAll(socket.get(), reinterpret_cast<const uint8_t*>(kCommand), sizeof kCommand, deadline)) {
    answer = ReadAnswer(socket.get(), deadline);
  }
  if (answer == "PONG") return true;
  why = target.describe() + (answer ? " answered PING with \"" + answer->substr(0, 64) + "\"" : " did not answer PING in time");
  return false;
}

}  // namespace parcelmoor
