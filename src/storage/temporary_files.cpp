#include "storage/temporary_files.h"

#include <dirent.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "storage/hash.h"
#include "storage/posix_io.h"
#include "storage/private_group.h"

namespace parcelmoor {
namespace {

constexpr std::string_view kSuffix = ".part";
constexpr size_t kRandomBytes = 16;    // of a temporary's name, the writer's id included
constexpr size_t kWriterIdBytes = 8;   // the name's first 16 digits
constexpr const char* kStampName = "swept";
// Writer locks take the lower quarter of the offsets, name locks the next:
// the two never meet.
constexpr uint64_t kRangeMask = (uint64_t{1} << 62) - 1;
constexpr uint64_t kNameRangeStart = uint64_t{1} << 62;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool SetLock(int fd, off_t offset, short type, int command) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  while (::fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Removes the temporary `name` of the private directory `privateDir` when
// its writer lock can be taken: the unlink happens under the lock.
bool RemoveIfWriterGone(int privateDir, int lockFd, const char* name) {
  const off_t offset = WriterLockOffset(name);
  if (!TryLockRange(lockFd, offset)) return false;  // a live writer holds it
  struct stat st;
  bool removed = ::fstatat(privateDir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                 ::unlinkat(privateDir, name, 0) == 0;
  UnlockRange(lockFd, offset);
  return removed;
}

// Random bytes are fetched from the kernel a batch at a time, so that a
// request of a thousand files asks once per batch rather than once per name;
// each byte is handed out once. A forked child starts with an empty batch:
// it never repeats its parent's names.
struct RandomBatch {
  unsigned char bytes[256];
  size_t used = sizeof bytes;
};
thread_local RandomBatch tRandom;

void ForgetRandomBatch() { tRandom.used = sizeof tRandom.bytes; }

bool TakeRandom(unsigned char* into, size_t count) {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, ForgetRandomBatch) == 0;
  (void)registered;
  RandomBatch& batch = tRandom;
  if (count > sizeof batch.bytes) return false;
  if (sizeof batch.bytes - batch.used < count) {
    size_t got = 0;
    while (got < sizeof batch.bytes) {
      const ssize_t n = ::getrandom(batch.bytes + got, sizeof batch.bytes - got, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      got += static_cast<size_t>(n);
    }
    batch.used = 0;
  }
  std::memcpy(into, batch.bytes + batch.used, count);
  std::memset(batch.bytes + batch.used, 0, count);  // handed out: not kept in memory
  batch.used += count;
  return true;
}

std::string RandomHex(size_t bytes) {
  unsigned char random[16];
  if (bytes > sizeof random || !TakeRandom(random, bytes)) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes);
  for (size_t k = 0; k < bytes; ++k) {
    hex += kHex[random[k] >> 4];
    hex += kHex[random[k] & 15];
  }
  return hex;
}

}  // namespace

std::string PrivateDirectoryOf(const std::string& directory) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(kPrivateDirectoryName);
  return path;
}

int OpenPrivateDirectory(const std::string& directory) {
  const std::string privateDir = PrivateDirectoryOf(directory);
  if (MakePrivateDirectory(privateDir) != 0 && errno != EEXIST) return -1;
  return ::open(privateDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenLockFileIn(int privateDir, const char* name) {
  return ::openat(privateDir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

std::string NewWriterId() { return RandomHex(kWriterIdBytes); }

std::string NewTemporaryName(std::string_view writerId) {
  std::string name = RandomHex(kRandomBytes - kWriterIdBytes);
  if (name.empty() || writerId.size() != 2 * kWriterIdBytes) return "";
  name.insert(0, writerId);
  name.append(kSuffix);
  return name;
}

bool IsTemporaryName(std::string_view name) {
  if (name.size() != 2 * kRandomBytes + kSuffix.size() || !name.ends_with(kSuffix)) return false;
  for (size_t i = 0; i < 2 * kRandomBytes; ++i)
    if (!IsHexDigit(name[i])) return false;
  return true;
}

off_t WriterLockOffset(std::string_view temporaryName) {
  return static_cast<off_t>(Fnv1a(temporaryName.substr(0, 2 * kWriterIdBytes)) & kRangeMask);
}

off_t NameLockOffset(std::string_view fileName) {
  return static_cast<off_t>(kNameRangeStart + (Fnv1a(fileName) & kRangeMask));
}

size_t NameLockFileIndex(std::string_view fileName) {
  static_assert(kNameLockFiles == 16, "one hex digit names the file");
  return static_cast<size_t>(Fnv1a(fileName) >> 60);
}

const char* NameLockFileName(std::string_view fileName) {
  static constexpr const char* kNames[kNameLockFiles] = {"names-0", "names-1", "names-2", "names-3",
                                                         "names-4", "names-5", "names-6", "names-7",
                                                         "names-8", "names-9", "names-a", "names-b",
                                                         "names-c", "names-d", "names-e", "names-f"};
  return kNames[NameLockFileIndex(fileName)];
}

bool TryLockRange(int fd, off_t offset) { return SetLock(fd, offset, F_WRLCK, F_OFD_SETLK); }

void UnlockRange(int fd, off_t offset) { SetLock(fd, offset, F_UNLCK, F_OFD_SETLK); }

void UnlockNameRanges(int fd) {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(kNameRangeStart);
  lock.l_len = 0;  // to the end of every offset
  while (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> SweepTemporaries(const std::string& directory) {
  std::vector<std::string> removed;
  const std::string privateDir = PrivateDirectoryOf(directory);
  // Made now if missing, so that no upload can take its name first; not
  // ours to read when it is a link: nothing of the server's is there.
  FileDescriptor dirFd(OpenPrivateDirectory(directory));
  if (!dirFd.valid()) return removed;
  FileDescriptor lockFd(OpenLockFileIn(dirFd.get(), kWriterLockFileName));
  if (!lockFd.valid()) return removed;
  // The listing owns a copy of the descriptor once it is open; until then the copy is ours to close.
  FileDescriptor copy(::dup(dirFd.get()));
  DIR* listing = copy.valid() ? ::fdopendir(copy.get()) : nullptr;
  if (listing == nullptr) return removed;
  copy.release();
  while (const struct dirent* entry = ::readdir(listing)) {
    if (!IsTemporaryName(entry->d_name)) continue;
    if (RemoveIfWriterGone(dirFd.get(), lockFd.get(), entry->d_name)) removed.push_back(privateDir + "/" + entry->d_name);
  }
  ::closedir(listing);
  return removed;
}

std::vector<std::string> SweepIfDue(const std::string& directory, std::chrono::seconds interval) {
  const std::string stamp = PrivateDirectoryOf(directory) + "/" + kStampName;
  MakePrivateDirectory(PrivateDirectoryOf(directory));
  struct stat st;
  if (::lstat(stamp.c_str(), &st) == 0 && std::time(nullptr) - st.st_mtime < interval.count()) return {};
  // The stamp moves first: concurrent runs that see it moved leave the sweep
  // to this one.
  FileDescriptor fd(::open(stamp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.valid()) ::futimens(fd.get(), nullptr);
  return SweepTemporaries(directory);
}

}  // namespace parcelmoor
