// The file calls over POSIX. A handle is the file descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "storage/hash.h"
#include "storage/mod_win32.h"
#include "storage/posix_io.h"

namespace parcelmoor::modWin32 {
namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;

// A delete that meets a name replaced between its look and its open looks
// again; past this many rounds the file counts as gone.
constexpr int kOpenAttempts = 8;

thread_local uint32_t tLastError = 0;
thread_local int tLastErrno = 0;

// The file system's handle for an open file: it names the file for as long
// as it exists, and carries the inode generation.
struct Handle {
  alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  struct file_handle* get() { return reinterpret_cast<struct file_handle*>(storage); }
  const unsigned char* bytes() const { return storage + offsetof(struct file_handle, f_handle); }
};

bool HandleOf(int fd, Handle& h) {
  h.get()->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  return ::name_to_handle_at(fd, "", h.get(), &mountId, AT_EMPTY_PATH) == 0;
}

uint64_t HashOf(Handle& h) {
  const auto type = static_cast<uint32_t>(h.get()->handle_type);
  const unsigned char typeBytes[4] = {static_cast<unsigned char>(type), static_cast<unsigned char>(type >> 8),
                                      static_cast<unsigned char>(type >> 16), static_cast<unsigned char>(type >> 24)};
  const uint64_t hash = Fnv1a(std::string_view(reinterpret_cast<const char*>(typeBytes), 4));
  const auto* bytes = reinterpret_cast<const char*>(h.bytes());
  return Fnv1a(std::string_view(bytes, std::min<size_t>(h.get()->handle_bytes, MAX_HANDLE_SZ)), hash);
}

// The kernel's generic handle of a 32-bit inode number and its generation
// (ext2, ext3, ext4 and others): the inode number is its first four bytes.
constexpr int kHandleIno32Gen = 1;

// Tells apart two files that held the same inode number one after the other:
// the file system's handle for the file (it carries the inode generation)
// where the file system gives one, else the birth time, else nothing.
uint64_t GenerationOf(int fd) {
  Handle h;
  if (HandleOf(fd, h)) return HashOf(h);
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    return static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000ull + sx.stx_btime.tv_nsec;
  }
  return 0;
}

bool IdentityOf(int fd, FileIdentity* identity) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  identity->generation = GenerationOf(fd);
  return true;
}

class PosixFileLayer final : public FileLayer {
 public:
  int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t /*shareMode*/,
                      uint32_t creationDisposition, uint32_t /*flagsAndAttributes*/) override {
    if (creationDisposition != CREATE_NEW || (desiredAccess & GENERIC_WRITE) == 0) {
      Fail(EINVAL);
      tLastError = kErrorInvalidParameter;
      return INVALID_HANDLE_VALUE;
    }
    for (;;) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        Succeed();
        return static_cast<int32_t>(fd);
      }
      if (errno != EINTR) {
        Fail(errno, true);
        return INVALID_HANDLE_VALUE;
      }
    }
  }

  bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) override {
    const size_t done = WriteAll(hFile, std::string_view(reinterpret_cast<const char*>(buffer), count));
    if (written) *written = static_cast<uint32_t>(done);
    if (done < count) return Fail(errno);
    return Succeed();
  }

  bool FlushFileBuffers(int32_t hFile) override { return ::fdatasync(hFile) == 0 ? Succeed() : Fail(errno); }

  bool CloseHandle(int32_t hFile) override {
    if (hFile < 0) {
      Fail(EBADF);
      return false;
    }
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    return ::close(hFile) == 0 ? Succeed() : Fail(errno);
  }

  uint32_t GetLastError() override { return tLastError; }
  int GetLastErrno() override { return tLastErrno; }

  bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) override {
    const unsigned mode = (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), mode) != 0) return Fail(errno);
    return Succeed();
  }

  bool GetFileIdentity(int32_t hFile, FileIdentity* identity) override {
    return IdentityOf(hFile, identity) ? Succeed() : Fail(errno);
  }

  // The handle alone where it holds the inode number: the same identity
  // GetFileIdentity gives, in one call rather than two.
  bool GetNewFileIdentity(int32_t hFile, uint64_t device, FileIdentity* identity) override {
    Handle h;
    if (!HandleOf(hFile, h) || h.get()->handle_type != kHandleIno32Gen || h.get()->handle_bytes != 8) {
      return GetFileIdentity(hFile, identity);
    }
    uint32_t inode = 0;
    std::memcpy(&inode, h.bytes(), sizeof inode);
    identity->device = device;
    identity->inode = inode;
    identity->generation = HashOf(h);
    return Succeed();
  }

  // Opens the name without following a link, checks on the open file that it
  // is the one asked for, and unlinks the name only while it still names it.
  bool DeleteFileIfIdentity(const std::string& path, const FileIdentity& identity) override {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      struct stat named;
      if (::lstat(path.c_str(), &named) != 0) return Fail(errno);
      if (S_ISDIR(named.st_mode)) return Fail(EISDIR);
      // Only regular files are ever created: an identity never names anything else.
      if (!S_ISREG(named.st_mode) || static_cast<uint64_t>(named.st_dev) != identity.device ||
          static_cast<uint64_t>(named.st_ino) != identity.inode) {
        return Fail(ENOENT);
      }
      FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!fd.valid()) {
        // Gone or replaced by a link since the look: look again.
        if (errno == EINTR || errno == ENOENT || errno == ELOOP) continue;
        return Fail(errno);
      }
      FileIdentity found;
      if (!IdentityOf(fd.get(), &found)) return Fail(errno);
      if (!(found == identity)) return Fail(ENOENT);
      struct stat still;
      if (::lstat(path.c_str(), &still) != 0 || still.st_dev != named.st_dev || still.st_ino != named.st_ino) continue;
      return ::unlink(path.c_str()) == 0 ? Succeed() : Fail(errno);
    }
    return Fail(ENOENT);
  }

 private:
  static bool Succeed() {
    tLastError = 0;
    tLastErrno = 0;
    return true;
  }
  static bool Fail(int err, bool creating = false) {
    tLastErrno = err;
    tLastError = WindowsErrorFromErrno(err, creating);
    return false;
  }
};

}  // namespace

void RtlMoveMemory(void* destination, const void* source, size_t length) {
  if (length != 0) std::memmove(destination, source, length);
}

uint32_t WindowsErrorFromErrno(int err, bool creating) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return creating ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    // O_NOFOLLOW meeting a symbolic link: the name exists but may not be
    // written through.
    case ELOOP:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    // The file may not grow any further: no room for the bytes.
    case EFBIG:
      return ERROR_DISK_FULL;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    // Names the file system refuses to create.
    case EINVAL:
    case EILSEQ:
      return ERROR_INVALID_NAME;
    // The lock is held elsewhere, or the file is a running program.
    case EWOULDBLOCK:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return kErrorInvalidHandle;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    default:
      return ERROR_GEN_FAILURE;
  }
}

FileLayer& FileLayer::Posix() {
  static PosixFileLayer layer;
  return layer;
}

}  // namespace parcelmoor::modWin32
