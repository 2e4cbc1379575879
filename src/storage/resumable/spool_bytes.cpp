#include "storage/resumable/spool_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "storage/posix_io.h"
#include "storage/sha256_stream.h"

namespace parcelmoor {
namespace {

constexpr size_t kReadChunk = size_t{1} << 20;

}  // namespace

std::vector<uint8_t> SpoolBytes::firstBytes(size_t count) {
  std::vector<uint8_t> first(count);
  FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  size_t got = 0;
  while (fd.valid() && got < count) {
    const ssize_t n = ::pread(fd.get(), first.data() + got, count - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  first.resize(got);
  return first;
}

std::string SpoolBytes::sha256() {
  if (!sha256_.empty()) return sha256_;
  // The bytes came over many requests, perhaps many server runs, and no
  // digest was carried through them all: they are read once for it.
  FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  Sha256Stream digest;
  if (!fd.valid() || !digest.start()) return {};
  auto chunk = std::make_unique<uint8_t[]>(kReadChunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.get(), kReadChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) break;
    digest.update(std::span<const uint8_t>(chunk.get(), static_cast<size_t>(n)));
  }
  sha256_ = digest.finishHex();
  return sha256_;
}

StoreError SpoolBytes::handOver(Store& store, const std::string& directory, const std::string& fileName,
                                Store::Ticket* ticket, StoreFile* file) {
  return store.beginFrom(directory, fileName, path_, ticket, file);
}

}  // namespace parcelmoor
