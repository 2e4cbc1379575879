// The local directory store: private temporaries, share-rule locks, rename
// at commit, and the syncs that make a commit survive a power cut.
#include "storage/local_store.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <set>
#include <system_error>
#include <thread>

#include "storage/temporary_files.h"

namespace parcelmoor {
namespace {

// Renames `from` to `to` only while `to` does not exist, in one step.
StoreError RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno == EEXIST) return {StoreCause::kNameExists, EEXIST};
  return StoreErrorFromErrno(errno);
}

// How long a look at an upload directory's subdirectories holds.
constexpr auto kDirectoryLookAge = std::chrono::seconds(1);

// Most syncs run at once for one commit.
constexpr size_t kSyncThreads = 64;

StoreError LastError(modWin32::FileLayer& files) { return StoreErrorFromErrno(files.GetLastErrno()); }

// Syncs a directory so that the names it got survive a power cut.
StoreError SyncDirectory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() || ::fsync(fd.get()) != 0) return StoreErrorFromErrno(errno);
  return {};
}

}  // namespace

StoreError StoreErrorFromErrno(int err) {
  switch (err) {
    case 0: return {};
    case ENOENT:
    case ENOTDIR: return {StoreCause::kNoDirectory, err};
    case EACCES:
    case EPERM:
    case EROFS: return {StoreCause::kNotWritable, err};
    case ENAMETOOLONG: return {StoreCause::kNameTooLong, err};
    case EISDIR: return {StoreCause::kIsDirectory, err};
    case EWOULDBLOCK:
    case ETXTBSY: return {StoreCause::kNameBusy, err};
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return {StoreCause::kDiskFull, err};
    case EMFILE:
    case ENFILE: return {StoreCause::kTooManyFiles, err};
    case EINVAL:
    case EILSEQ: return {StoreCause::kNameRefused, err};
    default: return {StoreCause::kIo, err};
  }
}

LocalStore::~LocalStore() {
  for (Ticket t = 0; t < entries_.size(); ++t) {
    if (entries_[t].state == State::kWriting || entries_[t].state == State::kFinished) abandon(t);
  }
}

StoreError LocalStore::begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                             StoreFile* file) {
  if (!IsSafeFileName(fileName)) return {StoreCause::kNameRefused, EINVAL};
  Entry entry;
  entry.finalPath = UploadDirectoryPrefix(directory) + fileName;
  entry.directory = DirectoryOf(entry.finalPath);
  if (fileName.size() > NAME_MAX || entry.finalPath.size() >= PATH_MAX) return {StoreCause::kNameTooLong, ENAMETOOLONG};
  StoreError error;
  // The private directory comes first: a file named like it then meets a
  // directory and is refused like any other directory.
  if (writerId_.empty()) writerId_ = NewWriterId();
  // The writer lock before any temporary of this upload exists there.
  error = locks_.enter(entry.directory, writerId_);
  if (error) return error;
  if (fileName == kPrivateDirectoryName || !lookAt(entry.directory).onlyPrivateSubdirectory) {
    struct stat st;
    if (::lstat(entry.finalPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {StoreCause::kIsDirectory, EISDIR};
  }
  // Replacing needs the share rule (two writers of one name, the later
  // rename silently winning); the other policies never overwrite, so two
  // uploads of one name may both go on and settle it at commit.
  if (options_.onExists == OnExists::kReplace) {
    error = locks_.lockName(entry.directory, fileName, &entry.nameLock);
    if (error) return error;
    entry.holdsNameLock = true;
  }
  error = createTemporary(entry);
  if (error) {
    release(entry);
    return error;
  }
  entries_.push_back(std::move(entry));
  *ticket = entries_.size() - 1;
  const Entry& begun = entries_.back();
  *file = StoreFile{begun.finalPath, begun.temporaryPath, begun.identity};
  return {};
}

StoreError LocalStore::beginFrom(const std::string& directory, const std::string& fileName,
                                 const std::string& spoolPath, Ticket* ticket, StoreFile* file) {
  FileDescriptor spool(::open(spoolPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!spool.valid()) return StoreErrorFromErrno(errno);
  // The begun, empty temporary holds the checks, the locks and a private
  // name; the spool file's link then takes its place, so that the bytes
  // are not copied and the spool keeps them until the commit.
  StoreError error = begin(directory, fileName, ticket, file);
  if (error) return error;
  Entry& entry = entries_[*ticket];
  FileIdentity identity;
  struct stat st;
  if (!files_->GetFileIdentity(spool.get(), &identity) || ::fstat(spool.get(), &st) != 0 ||
      ::unlink(entry.temporaryPath.c_str()) != 0 || ::link(spoolPath.c_str(), entry.temporaryPath.c_str()) != 0) {
    const int failure = errno;
    abandon(*ticket);
    if (failure == EXDEV || failure == EPERM || failure == EMLINK) {
      return Store::beginFrom(directory, fileName, spoolPath, ticket, file);
    }
    return StoreErrorFromErrno(failure);
  }
  files_->CloseHandle(entry.handle);  // the empty file it named is gone
  entry.handle = modWin32::INVALID_HANDLE_VALUE;
  entry.identity = identity;
  entry.written = entry.writebackFrom = static_cast<uint64_t>(st.st_size);
  entry.state = State::kFinished;
  file->identity = identity;
  return {};
}

// A directory's link count is two plus one per subdirectory (ext4, XFS,
// tmpfs; btrfs and a directory of over 65,000 subdirectories give 1). An
// upload directory counting three holds no subdirectory but the private
// one, so no name a client gives can meet a directory, and the look at each
// name is saved: a request of a thousand files looks at the directory once
// a second rather than at every name. A directory made since the last look
// is refused at commit, where the rename meets it, as one made after begin
// always was.
const LocalStore::DirectoryLook& LocalStore::lookAt(const std::string& directory) {
  const auto now = std::chrono::steady_clock::now();
  DirectoryLook& look = looks_[directory];
  if (look.valid && now - look.at < kDirectoryLookAge) return look;
  struct stat st;
  look.valid = ::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  look.onlyPrivateSubdirectory = look.valid && st.st_nlink == 3;
  look.device = static_cast<uint64_t>(st.st_dev);
  look.at = now;
  return look;
}

StoreError LocalStore::createTemporary(Entry& entry) {
  const std::string name = NewTemporaryName(writerId_);
  if (name.empty()) return StoreErrorFromErrno(errno);
  entry.temporaryPath = PrivateDirectoryOf(entry.directory) + "/" + name;
  using namespace modWin32;
  entry.handle = files_->CreateFileA(entry.temporaryPath, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  StoreError error;
  if (entry.handle == INVALID_HANDLE_VALUE) {
    error = LastError(*files_);
  } else if (const DirectoryLook& look = lookAt(entry.directory);
             !(look.valid ? files_->GetNewFileIdentity(entry.handle, look.device, &entry.identity)
                          : files_->GetFileIdentity(entry.handle, &entry.identity))) {
    error = LastError(*files_);
    files_->CloseHandle(entry.handle);
    entry.handle = INVALID_HANDLE_VALUE;
    ::unlink(entry.temporaryPath.c_str());
  }
  return error;
}

StoreError LocalStore::write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) {
  Entry& entry = entries_[ticket];
  *written = 0;
  while (*written < bytes.size()) {
    const size_t chunk = std::min<size_t>(bytes.size() - *written, uint32_t{1} << 30);
    uint32_t done = 0;
    const bool ok = files_->WriteFile(entry.handle, bytes.data() + *written, static_cast<uint32_t>(chunk), &done);
    *written += done;
    entry.written += done;
    if (!ok || done < chunk) return LastError(*files_);
  }
  if (options_.sync && entry.written - entry.writebackFrom >= options_.writebackEvery) startWriteback(entry);
  return {};
}

void LocalStore::startWriteback(Entry& entry) {
  if (entry.written <= entry.writebackFrom) return;
  // Only a hint to start early: the fdatasync at commit is what counts.
  ::sync_file_range(entry.handle, static_cast<off_t>(entry.writebackFrom),
                    static_cast<off_t>(entry.written - entry.writebackFrom), SYNC_FILE_RANGE_WRITE);
  entry.writebackFrom = entry.written;
}

StoreError LocalStore::finish(Ticket ticket) {
  Entry& entry = entries_[ticket];
  if (options_.sync) startWriteback(entry);
  const bool closed = files_->CloseHandle(entry.handle);
  entry.handle = modWin32::INVALID_HANDLE_VALUE;
  entry.state = State::kFinished;
  return closed ? StoreError{} : LastError(*files_);
}

void LocalStore::release(Entry& entry) noexcept {
  if (entry.holdsNameLock) DirectoryLocks::Unlock(entry.nameLock);
  entry.holdsNameLock = false;
}

// One call per lock file frees the names of every file just committed; a
// file still being written (none, when commit comes after the body) takes
// its name back.
void LocalStore::releaseNameLocks() noexcept {
  locks_.unlockAllNames();
  for (Entry& entry : entries_) {
    if (entry.holdsNameLock && !DirectoryLocks::Relock(entry.nameLock)) entry.holdsNameLock = false;
  }
}

bool LocalStore::abandon(Ticket ticket) noexcept {
  Entry& entry = entries_[ticket];
  if (entry.state != State::kWriting && entry.state != State::kFinished) return true;
  if (entry.handle != modWin32::INVALID_HANDLE_VALUE) files_->CloseHandle(entry.handle);
  entry.handle = modWin32::INVALID_HANDLE_VALUE;
  const bool gone = files_->DeleteFileIfIdentity(entry.temporaryPath, entry.identity) ||
                    files_->GetLastErrno() == ENOENT;
  // Left or not, the name is free; what the delete missed, a sweep removes
  // once this upload has ended.
  release(entry);
  entry.state = State::kGone;
  return gone;
}

// By the temporary's name, as the rename after it goes: a private
// directory only the server's user can write in, under a name of 128 random
// bits, holds no other file there, and a look at the inode first would not
// cover the rename anyway.
StoreError LocalStore::syncOne(const Entry& entry) {
  FileDescriptor fd(::open(entry.temporaryPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return StoreErrorFromErrno(errno);
  return files_->FlushFileBuffers(fd.get()) ? StoreError{} : LastError(*files_);
}

void LocalStore::syncData(std::span<const Ticket> tickets, std::vector<StoreError>& results) {
  std::vector<size_t> finished;
  for (size_t i = 0; i < tickets.size(); ++i) {
    if (entries_[tickets[i]].state == State::kFinished) finished.push_back(i);
  }
  // Each sync ends with a flush of the disk's cache, a few milliseconds
  // whatever the file's size: one after another, a thousand small files
  // would wait a thousand flushes. Synced side by side, the flushes that
  // wait together are sent to the disk as one.
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k = next++; k < finished.size(); k = next++) {
      results[finished[k]] = syncOne(entries_[tickets[finished[k]]]);
    }
  };
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(finished.size(), kSyncThreads) - (finished.empty() ? 0 : 1);
  try {
    for (size_t t = 0; t < wanted; ++t) helpers.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer helpers than hoped: the ones there (and this thread) do it all.
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

std::vector<StoreError> LocalStore::commit(std::span<const Ticket> tickets) {
  std::vector<StoreError> results(tickets.size());
  // Every file's data first, then every name: the first sync's journal
  // commit carries the others' allocations, so the rest cost little.
  if (options_.sync) syncData(tickets, results);
  std::set<std::string> named;
  for (size_t i = 0; i < tickets.size(); ++i) {
    Entry& entry = entries_[tickets[i]];
    if (entry.state != State::kFinished) {
      if (!results[i] && entry.state != State::kCommitted) results[i] = {StoreCause::kIo, EINVAL};
      continue;
    }
    if (!results[i]) results[i] = giveName(entry);
    if (results[i]) {
      abandon(tickets[i]);
      continue;
    }
    entry.state = State::kCommitted;
    entry.holdsNameLock = false;  // released below, all at once
    named.insert(entry.directory);
  }
  releaseNameLocks();
  if (!options_.sync) return results;
  for (const std::string& directory : named) {
    const StoreError error = SyncDirectory(directory);
    if (!error) continue;
    // Not durable, so not stored: the name goes again.
    for (size_t i = 0; i < tickets.size(); ++i) {
      Entry& entry = entries_[tickets[i]];
      if (results[i] || entry.state != State::kCommitted || entry.directory != directory) continue;
      results[i] = error;
      removeCommitted(entry.finalPath, entry.identity);
      entry.state = State::kGone;
    }
  }
  return results;
}

StoreError LocalStore::giveName(Entry& entry) {
  switch (options_.onExists) {
    case OnExists::kReplace:
      if (files_->MoveFileExA(entry.temporaryPath, entry.finalPath, modWin32::MOVEFILE_REPLACE_EXISTING)) return {};
      return LastError(*files_);
    case OnExists::kRefuse: return RenameNoReplace(entry.temporaryPath, entry.finalPath);
    case OnExists::kKeepBoth: break;
  }
  // Each try takes its name only if free at that instant: a concurrent
  // upload's name is never overwritten, it only moves this one on.
  for (int n = 0; n <= kKeepBothTries; ++n) {
    const std::string candidate = n == 0 ? entry.finalPath : NumberedName(entry.finalPath, n);
    const StoreError error = RenameNoReplace(entry.temporaryPath, candidate);
    if (error.cause == StoreCause::kNameExists) continue;
    if (!error) entry.finalPath = candidate;
    return error;
  }
  return {StoreCause::kNameExists, EEXIST};
}

bool LocalStore::removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept {
  return files_->DeleteFileIfIdentity(finalPath, identity) || files_->GetLastErrno() == ENOENT;
}

std::vector<std::string> LocalStore::sweep(const std::string& directory) {
  return SweepTemporaries(DirectoryOf(UploadDirectoryPrefix(directory) + "x"));
}

}  // namespace parcelmoor
