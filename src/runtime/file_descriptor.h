#pragma once
// One owner of a POSIX file descriptor for every layer: files, directories
// held open for *at() calls, sockets and pipes.

#include <unistd.h>

#include <cerrno>
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

}  // namespace parcelmoor
