#pragma once
// The lock files one store holds in the private directories it writes to:
// the writer lock (see temporary_files.h) in the directory's "locks", and a
// name lock per file being written in one of kNameLockFiles "names-X" files,
// chosen by the name.
//
// The kernel keeps one list of locks per file and walks all of it at every
// lock call. In one file, a request of ten thousand files made each call
// walk up to ten thousand locks: four fifths of the request's time went
// there, and every other upload of the directory walked the same list.
// Spread over the name lock files, the lists are a sixteenth as long. Each
// name lock file is opened once per store and directory, when first needed.

#include <sys/types.h>

#include <array>
#include <map>
#include <string>
#include <string_view>

#include "storage/posix_io.h"
#include "storage/store.h"
#include "storage/temporary_files.h"

namespace parcelmoor {

class DirectoryLocks {
 public:
  struct NameLock {
    int fd = -1;  // the name lock file (owned by the DirectoryLocks)
    off_t offset = 0;
  };

  // Opens `directory`'s lock file (making the private directory when
  // missing) and takes `writerId`'s writer lock there, before any temporary
  // of that writer exists in it; once per directory.
  StoreError enter(const std::string& directory, const std::string& writerId);
  // Takes the name lock of `fileName` in `directory`, entered before. A name
  // another live writer holds gives the errno of a lock held elsewhere.
  StoreError lockName(const std::string& directory, std::string_view fileName, NameLock* lock);
  static void Unlock(const NameLock& lock) noexcept;
  // Takes `lock` again after unlockAllNames(); false when another writer
  // took the name meanwhile.
  static bool Relock(const NameLock& lock) noexcept;
  // Frees every name lock this store holds, one call per name lock file.
  void unlockAllNames() noexcept;

 private:
  struct Directory {
    FileDescriptor privateDir;
    FileDescriptor writerLocks;  // holds this store's writer lock
    std::array<FileDescriptor, kNameLockFiles> nameLocks;
  };
  std::map<std::string, Directory> directories_;
};

}  // namespace parcelmoor
