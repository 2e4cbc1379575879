#include "storage/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "storage/posix_io.h"

namespace parcelmoor {
namespace {

constexpr std::string_view kPrefix = ".parcelmoor-";
constexpr std::string_view kSuffix = ".part";
constexpr size_t kNameBytesKept = 32;

uint64_t Fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes `path` if it is a regular file, old enough, and its lock is free;
// the unlink happens under the lock and only while the name names that file.
bool RemoveIfAbandoned(const std::string& path, std::chrono::seconds grace) {
  struct stat named;
  if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return false;
  if (std::time(nullptr) - named.st_mtime < grace.count()) return false;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat held;
  if (::fstat(fd.get(), &held) != 0 || !SameFile(held, named)) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;  // a live writer holds it
  struct stat still;
  if (::lstat(path.c_str(), &still) != 0 || !SameFile(held, still)) return false;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace

std::string TemporaryNameFor(std::string_view fileName) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(fileName)));
  std::string name(kPrefix);
  name.append(fileName.substr(0, kNameBytesKept));
  name += '-';
  name += hash;
  name.append(kSuffix);
  return name;
}

bool IsTemporaryName(std::string_view name) {
  return name.size() >= kPrefix.size() + 17 + kSuffix.size() && name.starts_with(kPrefix) && name.ends_with(kSuffix);
}

std::vector<std::string> SweepTemporaries(const std::string& directory, std::chrono::seconds grace) {
  std::vector<std::string> removed;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return removed;
  std::string base = directory;
  if (!base.empty() && base.back() != '/') base += '/';
  while (const struct dirent* entry = ::readdir(dir)) {
    if (!IsTemporaryName(entry->d_name)) continue;
    const std::string path = base + entry->d_name;
    if (RemoveIfAbandoned(path, grace)) removed.push_back(path);
  }
  ::closedir(dir);
  return removed;
}

}  // namespace parcelmoor
