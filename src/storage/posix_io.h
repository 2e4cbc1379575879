#pragma once
// Small POSIX helpers shared by the file layer and the hosts: a write that
// does not stop at interrupted calls or short writes, and the bytes left in a
// regular file. The descriptor owner lives in the runtime, for every layer.

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

#include "runtime/file_descriptor.h"

namespace parcelmoor {

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
