#pragma once
// Small POSIX helpers shared by the file layer and the hosts: an owner that
// closes a file descriptor exactly once, a write that does not stop at
// interrupted calls or short writes, and the bytes left in a regular file.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace parcelmoor {

// Owns one file descriptor (or none, -1) and closes it when destroyed or
// reset. Closing keeps errno, so failure paths can close and then report.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the owner holds none after.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (errno unchanged) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Writes all of `bytes` to `fd`, retrying interrupted calls and short writes.
// Returns the number of bytes written: all of them, or fewer when a write
// failed (errno says why) or made no progress (errno is EIO).
inline size_t WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {  // no progress and no error: report it rather than spin
      errno = EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

// Bytes left in a regular file from the stream's current position (its
// buffered position, so reads already made through the stream count);
// nullopt for pipes, terminals and anything else whose length cannot be
// known in advance.
inline std::optional<int64_t> RemainingInRegularFile(std::FILE* stream) {
  struct stat info;
  if (!stream || ::fstat(::fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const long position = std::ftell(stream);
  if (position < 0) return std::nullopt;
  return std::max<int64_t>(0, static_cast<int64_t>(info.st_size) - position);
}

}  // namespace parcelmoor
