// The default way a store begins a file from a finished spool file: copied
// through begin, write and finish, so that any store can take one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "storage/local_store.h"
#include "storage/posix_io.h"
#include "storage/store.h"

namespace parcelmoor {
namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;

}  // namespace

StoreError Store::beginFrom(const std::string& directory, const std::string& fileName, const std::string& spoolPath,
                            Ticket* ticket, StoreFile* file) {
  FileDescriptor spool(::open(spoolPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!spool.valid()) return StoreErrorFromErrno(errno);
  StoreError error = begin(directory, fileName, ticket, file);
  if (error) return error;
  auto chunk = std::make_unique<uint8_t[]>(kCopyChunk);
  for (;;) {
    const ssize_t n = ::read(spool.get(), chunk.get(), kCopyChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = StoreErrorFromErrno(errno);
      break;
    }
    if (n == 0) break;
    size_t written = 0;
    error = write(*ticket, std::span<const uint8_t>(chunk.get(), static_cast<size_t>(n)), &written);
    if (error) break;
  }
  if (!error) error = finish(*ticket);
  if (error) abandon(*ticket);
  return error;
}

}  // namespace parcelmoor
