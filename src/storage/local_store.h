#pragma once
// The store of files in a local directory. A file is written under a fresh
// random name in the directory's private subdirectory (temporary_files.h),
// which no upload can name, and renamed over its final name at commit (the
// same file system, so one atomic step: an earlier file of the name stays
// whole until then). The share rule and the sweep's test of a dead writer
// rest on locks in the directory's lock files (directory_locks.h), one
// descriptor per lock file and store, so a finished file holds no
// descriptor while it waits for its commit. The
// share rule (a name another upload is writing is refused) holds only while
// commits replace: under keep-both and refuse, two uploads of one name both
// go on and the commit's no-replace rename settles which gets which name.
//
// A stored file costs five file-system calls beside its data writes: the
// name lock (fcntl), the create (openat), its identity (name_to_handle_at,
// whose handle carries the inode number and generation on ext4; elsewhere an
// fstat too), the close at finish and the rename at commit. The rest is paid
// per upload: the lock files (the writer's, and each name lock file its
// names need, at most sixteen), the writer lock, one stat of the directory a
// second (its device, and whether any name could be a directory's), random
// names drawn in batches, and one unlock per name lock file at commit.
//
// With `sync`, what commit promises survives a power cut: write-back starts
// while the body arrives (every few MiB and at the part's end), each file's
// data is synced before it gets its name, and each directory that got names
// is synced once after the last one, all before commit returns.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/directory_locks.h"
#include "storage/file_names.h"
#include "storage/mod_win32.h"
#include "storage/posix_io.h"
#include "storage/store.h"

namespace parcelmoor {

struct LocalStoreOptions {
  // Commit makes the files and their names durable (see above).
  bool sync = false;
  // Write-back of a file being received starts every this many bytes.
  uint64_t writebackEvery = uint64_t{8} << 20;
  // kKeepBoth and kRefuse never overwrite: each name is taken with
  // renameat2(RENAME_NOREPLACE), which fails when the name exists at that
  // instant, so two uploads of one name can never take the same one.
  OnExists onExists = OnExists::kReplace;
};

class LocalStore final : public Store {
 public:
  using Options = LocalStoreOptions;

  explicit LocalStore(Options options = {}, modWin32::FileLayer& files = modWin32::FileLayer::Posix())
      : options_(options), files_(&files) {}
  // Abandons every file not yet committed and releases the store's locks.
  ~LocalStore() override;

  StoreError begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                   StoreFile* file) override;
  // Shares the spool file itself when it is on the directory's file system
  // (linked into the private directory as the file's temporary), else
  // copies it as any store does.
  StoreError beginFrom(const std::string& directory, const std::string& fileName, const std::string& spoolPath,
                       Ticket* ticket, StoreFile* file) override;
  StoreError write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) override;
  StoreError finish(Ticket ticket) override;
  bool abandon(Ticket ticket) noexcept override;
  std::vector<StoreError> commit(std::span<const Ticket> tickets) override;
  std::string finalPath(Ticket ticket) const override { return entries_[ticket].finalPath; }
  bool removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept override;
  std::vector<std::string> sweep(const std::string& directory) override;

 private:
  enum class State { kWriting, kFinished, kCommitted, kGone };
  struct Entry {
    std::string finalPath;
    std::string temporaryPath;
    std::string directory;  // POSIX path of the final name's directory
    DirectoryLocks::NameLock nameLock;
    bool holdsNameLock = false;  // only under OnExists::kReplace
    int32_t handle = modWin32::INVALID_HANDLE_VALUE;
    FileIdentity identity;
    uint64_t written = 0;
    uint64_t writebackFrom = 0;  // bytes before this have had write-back started
    State state = State::kWriting;
  };

  // Creates the temporary under its writer lock and fills in `entry`.
  StoreError createTemporary(Entry& entry);
  // Starts write-back of what the entry got since the last start.
  void startWriteback(Entry& entry);
  // Syncs the data of one finished entry, reopened by its temporary's name.
  StoreError syncOne(const Entry& entry);
  // Syncs the data of each finished entry, side by side; a failure is
  // recorded in `results`.
  void syncData(std::span<const Ticket> tickets, std::vector<StoreError>& results);
  // Gives a finished entry its final name as onExists says; under kKeepBoth
  // its finalPath becomes the name it got.
  StoreError giveName(Entry& entry);
  // Releases the name lock of an entry that is committed or given up.
  void release(Entry& entry) noexcept;
  // Releases the name locks of every committed entry at once.
  void releaseNameLocks() noexcept;
  // What an upload directory's own stat says, looked at once a second at
  // most: its device (every temporary's) and whether it holds no
  // subdirectory but the private one (then no name can be a directory's).
  struct DirectoryLook {
    bool valid = false;
    bool onlyPrivateSubdirectory = false;
    uint64_t device = 0;
    std::chrono::steady_clock::time_point at;
  };
  const DirectoryLook& lookAt(const std::string& directory);

  Options options_;
  modWin32::FileLayer* files_;
  std::vector<Entry> entries_;
  DirectoryLocks locks_;  // this upload's writer lock and name locks
  std::string writerId_;  // begins the name of each of this upload's temporaries
  std::map<std::string, DirectoryLook> looks_;  // by upload directory
};

}  // namespace parcelmoor
