#pragma once
// Where a resumable upload keeps its bytes and its state between requests,
// and how they change safely. Everything lives in the upload directory's
// private directory (temporary_files.h), under "resumable/", named by the
// upload's random id: ID.data (the bytes so far), ID.info (the state,
// resumable_state.h) and, once the upload has ended, ID.report (its answer).
// No client can name anything there.
//
// The state is replaced whole, by a rename, so a reader always sees an old
// or a new one, never a torn one. With `sync`, the bytes are synced before
// the state that counts them, and the state before the request is
// acknowledged: after a crash, every acknowledged byte is there, and the
// bytes past the recorded offset (written, never acknowledged) are cut off
// when the upload is next written.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "storage/posix_io.h"
#include "storage/resumable/resumable_state.h"

namespace parcelmoor {

// "DIR/.parcelmoor/resumable" for the upload directory `directory` (a POSIX
// path).
std::string ResumableDirectoryOf(const std::string& directory);
// The same, created (mode 0700) when missing. Empty with errno set when it
// cannot be made.
std::string MakeResumableDirectory(const std::string& directory);

struct ResumablePaths {
  std::string data, info, report;
};
ResumablePaths ResumablePathsOf(const std::string& resumableDirectory, std::string_view id);

// Replaces `path` with `text` in one rename; with `sync`, durable (the file
// and its directory synced) on return. False with errno set on failure.
bool ReplaceFileAtomically(const std::string& path, std::string_view text, bool sync);
// A small file's text, nullopt when it is missing, unreadable or longer
// than `limit`.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit);
// Syncs a directory (the names it holds survive a power cut).
bool SyncDirectoryOf(const std::string& path);

// The bytes of one upload, open for writing. Only the holder of its lock
// (an open-file-description lock, dropped by the kernel when the holder
// dies) writes them: one request at a time per upload.
class ResumableData {
 public:
  // Opens the data file; with `create` makes it (it must not exist). Check
  // valid() (errno says why not).
  ResumableData(const std::string& path, bool create);
  bool valid() const { return fd_.valid(); }
  // Takes the write lock without waiting; false while another holds it.
  bool tryLock();
  // Cuts the file to `size` bytes.
  bool truncate(int64_t size);
  // Writes all of `bytes` at `offset`.
  bool writeAt(int64_t offset, std::span<const uint8_t> bytes);
  // Starts writing `length` bytes at `from` to the disk without waiting, so
  // that sync() at the request's end has little left to wait for.
  void startWriteback(int64_t from, int64_t length);
  // The data written so far is durable.
  bool sync();
  int fd() const { return fd_.get(); }

 private:
  FileDescriptor fd_;
};

}  // namespace parcelmoor
