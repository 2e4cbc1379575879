// The file calls over POSIX. A handle is the file descriptor. Share mode 0 is
// an exclusive flock taken right after open, before anything touches the
// file's content; every delete takes the same lock first, so no one unlinks a
// file that a handle holds, in this process or any other.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "storage/mod_win32.h"
#include "storage/posix_io.h"

namespace parcelmoor::modWin32 {
namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kGenericRead = 0x80000000;

// An open that meets a file unlinked or replaced between its open and its
// lock tries again; past this many rounds the name counts as in use.
constexpr int kOpenAttempts = 8;

thread_local uint32_t tLastError = 0;

void SetLastErrorFromErrno(int err, bool creating) { tLastError = WindowsErrorFromErrno(err, creating); }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Tells apart two files that held the same inode number one after the other:
// the file system's handle for the file (it carries the inode generation)
// where the file system gives one, else the birth time, else nothing.
uint64_t GenerationOf(int fd) {
  alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<struct file_handle*>(storage);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (::name_to_handle_at(fd, "", handle, &mountId, AT_EMPTY_PATH) == 0) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 1099511628211ull; };
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(static_cast<unsigned>(handle->handle_type) >> (8 * i)));
    const unsigned char* bytes = storage + offsetof(struct file_handle, f_handle);
    for (unsigned i = 0; i < handle->handle_bytes && i < MAX_HANDLE_SZ; ++i) mix(bytes[i]);
    return hash;
  }
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

// Which file a delete may remove.
struct DeleteTarget {
  bool checkIdentity = false;
  FileIdentity identity;
};

class PosixFileLayer final : public FileLayer {
 public:
  int32_t CreateFileA(const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                      uint32_t creationDisposition, uint32_t /*flagsAndAttributes*/) override {
    if (creationDisposition != OPEN_ALWAYS || (desiredAccess & (GENERIC_WRITE | kGenericRead)) == 0) {
      tLastError = kErrorInvalidParameter;
      return INVALID_HANDLE_VALUE;
    }
    int access = O_WRONLY;
    if (desiredAccess & kGenericRead) access = (desiredAccess & GENERIC_WRITE) ? O_RDWR : O_RDONLY;
    const std::string p = PosixPath(path);
    // A sharing open takes a shared lock, so that it still conflicts with an
    // exclusive holder in both directions.
    const int lockMode = (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;

    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      // O_NONBLOCK: a FIFO planted at the name must not hang the request.
      FileDescriptor fd(::open(p.c_str(), access | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
      if (!fd.valid()) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno, true);
        return INVALID_HANDLE_VALUE;
      }
      struct stat held;
      if (::fstat(fd.get(), &held) != 0) {
        SetLastErrorFromErrno(errno, true);
        return INVALID_HANDLE_VALUE;
      }
      if (!S_ISREG(held.st_mode)) {
        tLastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
      }
      if (::flock(fd.get(), lockMode) != 0) {
        SetLastErrorFromErrno(errno, true);
        return INVALID_HANDLE_VALUE;
      }
      // Between the open and the lock, the holder may have deleted the file
      // (or a new one may have taken the name): the lock is then on a file
      // nobody can find. Start again with whatever the name holds now.
      struct stat named;
      if (::lstat(p.c_str(), &named) != 0 || !SameFile(held, named)) continue;
      int flags = ::fcntl(fd.get(), F_GETFL);
      if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
      tLastError = 0;
      return static_cast<int32_t>(fd.release());
    }
    tLastError = ERROR_SHARING_VIOLATION;
    return INVALID_HANDLE_VALUE;
  }

  bool WriteFile(int32_t hFile, const uint8_t* buffer, uint32_t count, uint32_t* written) override {
    const size_t done = WriteAll(hFile, std::string_view(reinterpret_cast<const char*>(buffer), count));
    if (written) *written = static_cast<uint32_t>(done);
    if (done < count) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }

  bool SetEndOfFile(int32_t hFile) override {
    off_t at = ::lseek(hFile, 0, SEEK_CUR);
    struct stat st {};
    if (at < 0 || ::fstat(hFile, &st) != 0) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    // A file that already ends here is left alone: on ext4 a truncation of a
    // new file makes its close flush the whole file to disk.
    if (st.st_size != at && ::ftruncate(hFile, at) != 0) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }

  bool CloseHandle(int32_t hFile) override {
    if (hFile < 0) {
      tLastError = kErrorInvalidHandle;
      return false;
    }
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    if (::close(hFile) != 0) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }

  bool DeleteFileA(const std::string& path) override { return Delete(path, DeleteTarget{}); }

  uint32_t GetLastError() override { return tLastError; }

  bool MoveFileExA(const std::string& from, const std::string& to, uint32_t flags) override {
    const std::string f = PosixPath(from);
    const std::string t = PosixPath(to);
    const unsigned mode = (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), mode) != 0) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }

  bool GetFileIdentity(int32_t hFile, FileIdentity* identity) override {
    if (!IdentityOf(hFile, identity)) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }

  bool DeleteFileIfIdentity(const std::string& path, const FileIdentity& identity) override {
    return Delete(path, DeleteTarget{true, identity});
  }

 private:
  // The quick look before opening; the full identity is checked on the open file.
  static bool Matches(const struct stat& st, const DeleteTarget& target) {
    return !target.checkIdentity ||
           (static_cast<uint64_t>(st.st_dev) == target.identity.device &&
            static_cast<uint64_t>(st.st_ino) == target.identity.inode);
  }

  // Deletes the name, never following a symbolic link. A regular file is
  // opened and locked first: a file some handle holds gives 32, and the
  // unlink happens while the lock is held and only if the name still names
  // the locked file. Other kinds of entries (a link, a FIFO, a socket, a
  // device node) are removed as names, without being opened.
  static bool Delete(const std::string& path, const DeleteTarget& target) {
    const std::string p = PosixPath(path);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      struct stat named;
      if (::lstat(p.c_str(), &named) != 0) {
        SetLastErrorFromErrno(errno, false);
        return false;
      }
      if (S_ISDIR(named.st_mode)) {
        tLastError = ERROR_ACCESS_DENIED;
        return false;
      }
      if (!S_ISREG(named.st_mode)) {
        // CreateFileA makes only regular files: an identity never names this.
        if (target.checkIdentity) {
          tLastError = ERROR_FILE_NOT_FOUND;
          return false;
        }
        return UnlinkName(p);
      }
      if (!Matches(named, target)) {
        tLastError = ERROR_FILE_NOT_FOUND;
        return false;
      }

      FileDescriptor fd(::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!fd.valid()) {
        // Gone or replaced by a link since the look: look again.
        if (errno == EINTR || errno == ENOENT || errno == ELOOP) continue;
        SetLastErrorFromErrno(errno, false);
        return false;
      }
      struct stat held;
      if (::fstat(fd.get(), &held) != 0) {
        SetLastErrorFromErrno(errno, false);
        return false;
      }
      if (!SameFile(held, named)) continue;
      FileIdentity found;
      if (target.checkIdentity && (!IdentityOf(fd.get(), &found) || !(found == target.identity))) {
        tLastError = ERROR_FILE_NOT_FOUND;
        return false;
      }
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        SetLastErrorFromErrno(errno, false);
        return false;
      }
      struct stat still;
      if (::lstat(p.c_str(), &still) != 0 || !SameFile(held, still)) continue;
      // The name goes while the lock is held; the lock goes with the close.
      return UnlinkName(p);
    }
    tLastError = ERROR_SHARING_VIOLATION;
    return false;
  }

  static bool UnlinkName(const std::string& p) {
    if (::unlink(p.c_str()) != 0) {
      SetLastErrorFromErrno(errno, false);
      return false;
    }
    tLastError = 0;
    return true;
  }
};

}  // namespace

std::string PosixPath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

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
    default:
      return ERROR_GEN_FAILURE;
  }
}

FileLayer& FileLayer::Posix() {
  static PosixFileLayer layer;
  return layer;
}

}  // namespace parcelmoor::modWin32
