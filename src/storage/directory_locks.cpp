// Lock files opened once per store and kept until it ends.
#include "storage/directory_locks.h"

#include <fcntl.h>

#include <cerrno>

#include "storage/hash.h"
#include "storage/temporary_files.h"

namespace parcelmoor {

StoreError DirectoryLocks::enter(const std::string& directory, const std::string& writerId) {
  if (directories_.count(directory)) return {};
  Directory opened;
  opened.privateDir.reset(OpenPrivateDirectory(directory));
  if (!opened.privateDir.valid()) return StoreErrorFromErrno(errno);
  opened.writerLocks.reset(OpenLockFileIn(opened.privateDir.get(), kWriterLockFileName));
  if (!opened.writerLocks.valid()) return StoreErrorFromErrno(errno);
  if (writerId.empty() || !TryLockRange(opened.writerLocks.get(), WriterLockOffset(writerId))) {
    return {StoreCause::kIo, errno};
  }
  directories_.emplace(directory, std::move(opened));
  return {};
}

StoreError DirectoryLocks::lockName(const std::string& directory, std::string_view fileName, NameLock* lock) {
  Directory& entered = directories_.at(directory);
  FileDescriptor& file = entered.nameLocks[NameLockFileIndex(fileName)];
  if (!file.valid()) {
    file.reset(OpenLockFileIn(entered.privateDir.get(), NameLockFileName(fileName)));
    if (!file.valid()) return StoreErrorFromErrno(errno);
  }
  const NameLock taken{file.get(), NameLockOffset(fileName)};
  if (!TryLockRange(taken.fd, taken.offset)) return StoreErrorFromErrno(errno);
  *lock = taken;
  return {};
}

void DirectoryLocks::Unlock(const NameLock& lock) noexcept { UnlockRange(lock.fd, lock.offset); }

bool DirectoryLocks::Relock(const NameLock& lock) noexcept { return TryLockRange(lock.fd, lock.offset); }

void DirectoryLocks::unlockAllNames() noexcept {
  for (auto& [path, entered] : directories_) {
    for (const FileDescriptor& file : entered.nameLocks) {
      if (file.valid()) UnlockNameRanges(file.get());
    }
  }
}

}  // namespace parcelmoor
