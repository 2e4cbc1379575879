// A resumable upload's files: its bytes, its state, its report.
#include "storage/resumable/resumable_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "storage/local_store.h"
#include "storage/temporary_files.h"

namespace parcelmoor {

std::string ResumableDirectoryOf(const std::string& directory) {
  return PrivateDirectoryOf(directory) + "/resumable";
}

std::string MakeResumableDirectory(const std::string& directory) {
  if (::mkdir(PrivateDirectoryOf(directory).c_str(), 0700) != 0 && errno != EEXIST) return "";
  std::string resumable = ResumableDirectoryOf(directory);
  if (::mkdir(resumable.c_str(), 0700) != 0 && errno != EEXIST) return "";
  struct stat st;
  // A link planted in its place would send the bytes elsewhere.
  if (::lstat(resumable.c_str(), &st) != 0) return "";
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return "";
  }
  return resumable;
}

ResumablePaths ResumablePathsOf(const std::string& resumableDirectory, std::string_view id) {
  const std::string base = resumableDirectory + "/" + std::string(id);
  return {base + ".data", base + ".info", base + ".report"};
}

bool SyncDirectoryOf(const std::string& path) {
  FileDescriptor dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.valid() && ::fsync(dir.get()) == 0;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view text, bool sync) {
  // Each writer has its own scratch name: two requests that race here never
  // write into one file.
  const std::string scratch = path + "." + NewWriterId() + ".new";
  FileDescriptor fd(::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  bool ok = WriteAll(fd.get(), text) == text.size() && (!sync || ::fdatasync(fd.get()) == 0);
  ok = ok && ::rename(scratch.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int saved = errno;
    ::unlink(scratch.c_str());
    errno = saved;
    return false;
  }
  return !sync || SyncDirectoryOf(path);
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > limit) return std::nullopt;
  }
}

// The mode a multipart file's temporary gets: the data file becomes the
// stored file, and the private directory (0700) keeps it from others meanwhile.
ResumableData::ResumableData(const std::string& path, bool create)
    : fd_(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0666)) {}

bool ResumableData::tryLock() {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;  // the whole file, however long it grows
  return ::fcntl(fd_.get(), F_OFD_SETLK, &lock) == 0;
}

bool ResumableData::truncate(int64_t size) { return ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0; }

bool ResumableData::writeAt(int64_t offset, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void ResumableData::startWriteback(int64_t from, int64_t length) {
  ::sync_file_range(fd_.get(), static_cast<off_t>(from), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

bool ResumableData::sync() { return ::fdatasync(fd_.get()) == 0; }

}  // namespace parcelmoor
