#pragma once
// The file of the file part being received, and the record of every file one
// upload stored. One writer serves one upload object, on one thread; at most
// one file is open for writing at a time. Content reaches the store straight
// from the caller's buffer, cut at the size limit given at open; every byte
// offered is counted, kept or not.
//
// Files go through a Store (store.h; a LocalStore unless told otherwise):
// begun at open, finished at close (the store then holds no descriptor for
// it), and committed together at commitAll, so an earlier file of the same
// name stays whole until then and another upload of the name is refused with
// 32 meanwhile. A file whose write failed is given up at once. Beside the
// files, the writer keeps a FileRecord of every file it was asked to open,
// updated at each step, which outlives the writer for the host; a failure
// sets both the script's error (number and text) and the store's typed cause.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/raised_error.h"
#include "storage/file_record.h"
#include "storage/finished_bytes.h"
#include "storage/mod_win32.h"
#include "storage/sha256_stream.h"
#include "storage/store.h"

namespace parcelmoor {

class UploadFileWriter {
 public:
  UploadFileWriter();
  // Gives up every file not yet committed.
  ~UploadFileWriter();
  UploadFileWriter(const UploadFileWriter&) = delete;
  UploadFileWriter& operator=(const UploadFileWriter&) = delete;

  // Replaces the store (a host's choice of store and sync, or a test's
  // fake). One store per writer. REQUIRES: no file held.
  void setStore(std::shared_ptr<Store> store) { store_ = std::move(store); }
  // A LocalStore over `layer` (tests inject failures). REQUIRES: `layer`
  // outlives the writer; no file held.
  void setFileLayer(modWin32::FileLayer& layer);
  // Each file kept on disk gets the SHA-256 of its kept bytes (after a cut)
  // in its record, computed as they are written. Off unless set.
  // REQUIRES: no file is open.
  void setChecksums(bool on) { checksums_ = on; }
  // Content written from inside `buffers` (a reader's chunk buffers) may be
  // hashed on a side thread after write() returns, while the reader fills
  // the other buffer: the caller leaves a buffer's bytes alone until
  // releaseBuffer() of it returns, and releases both before freeing them.
  // Content from anywhere else is hashed before write() returns.
  void setReadBuffers(std::span<const uint8_t> first, std::span<const uint8_t> second) {
    readBuffers_ = {first, second};
  }
  // Returns once no side thread reads `buffer` any more.
  void releaseBuffer(std::span<const uint8_t> buffer) noexcept {
    if (digest_.reading(buffer.data(), buffer.size())) digest_.settle();
  }

  // Begins a new, empty file for `directory` + `file.fileName` and records
  // it; `file` (field name, client path, file name) starts the file's record,
  // kept even when the open fails. With `replacesEarlier`, an uncommitted
  // file of the same name from this writer is given up first (the later one
  // wins); without, both are committed and the store's rule for a taken name
  // settles them, in the order they were opened. The size count
  // starts at 0; `limit`, when given, is the most bytes kept. Raises -20
  // "OpenFile" with the system's code for what the store refused (123 a name
  // that could leave the directory, 206 too long, 5 a directory, 3 no
  // directory, 32 while another upload writes that name); then no file is
  // open and its record says failed. REQUIRES: no file is open.
  void open(const std::string& directory, FileRecord file, std::optional<int64_t> limit,
            bool replacesEarlier = true);

  // Takes in a file whose bytes arrived whole before (a resumable
  // upload's), as open() followed by write() of every byte and close()
  // would, without a copy: the store begins it from `bytes`, finished, and
  // it waits for commitAll like any finished file. The record gets its
  // size and, when checksums are on, its SHA-256. Raises as open() does.
  // REQUIRES: no file is open; `bytes` outlives the commit.
  void adopt(const std::string& directory, FileRecord file, FinishedBytes& bytes);

  // Counts `count` bytes and writes those within the limit. When the write
  // fails or comes up short, gives the file up and raises 15001 "File I/O
  // Error" with the system's code. REQUIRES: a file is open.
  void write(const uint8_t* bytes, int32_t count);

  // Ends writing the open file, whole; it stays recorded and uncommitted.
  void close();

  // Ends writing the open file (if any) and, when `deleteFile`, gives it up.
  // Its record says deleted when it was over the limit, cut when it was over
  // the limit and kept, else not stored (the request ended inside it).
  // Never raises.
  void abandon(bool deleteFile) noexcept;

  // Commits every uncommitted file (see Store::commit). A file that could
  // not be committed is gone and recorded as failed, or as refused
  // ("name-exists", 409) when its name was taken and the store may not
  // replace it; returns the number of such files. A record's storedPath
  // becomes the name the store actually gave. REQUIRES: no file is open.
  int commitAll();

  // Gives up every finished file not yet committed and keeps the committed
  // ones; their records say not stored. REQUIRES: no file is open.
  void discardUncommitted() noexcept;
  // Gives up the finished, uncommitted file of records()[record] alone and
  // returns its record (saying not stored) for the caller to tell why;
  // nullptr when that record has no such file. Never raises.
  FileRecord* discardUncommittedOf(size_t record) noexcept;

  // While held, commitAll (and so the end of a body and a release that
  // keeps files) commits nothing: a host that first asks an application
  // tells it each record's pendingPath and storedPath, then lifts the hold
  // and calls commitAll, or calls discardUncommitted. Files still held when
  // the writer ends are given up.
  void holdCommits(bool held) { commitsHeld_ = held; }

  // Ends this writer's hold on every recorded file: when `deleteThem`,
  // deletes each (committed ones while their name still names them), else
  // commits the uncommitted ones; forgets them all. REQUIRES: no file is open.
  void releaseStored(bool deleteThem);

  bool isOpen() const { return open_; }
  // Bytes offered to the current (or last) file, including those cut.
  int64_t size() const { return lFileSize; }
  // The file got more bytes than its limit allows.
  bool overLimit() const { return limit_ && lFileSize > *limit_; }
  // The record of every file, in the order they were opened. The pointer
  // stays valid, and the records current, for as long as anyone holds it.
  std::shared_ptr<const std::vector<FileRecord>> records() const { return records_; }
  // Adds the record of a file part that is stored nowhere (no file, refused).
  void recordWithoutFile(FileRecord file) { records_->push_back(std::move(file)); }

 private:
  enum class State { kWriting, kFinished, kCommitted, kGone };
  struct StoredFile {
    Store::Ticket ticket = 0;
    std::string finalPath;
    FileIdentity identity;
    State state = State::kWriting;
    size_t record = 0;  // its entry in records_
  };

  // open() once the record exists.
  void openRecorded(const std::string& directory, const std::string& fileName, std::optional<int64_t> limit,
                    bool replacesEarlier);
  // Keeps the entry of a file the store began; gives the file up when it
  // cannot be kept.
  void keepEntry(const std::string& key, Store::Ticket ticket, const StoreFile& begun, State state);
  // Gives up this writer's uncommitted file of `key`, if any.
  void dropUncommitted(const std::string& key) noexcept;
  // Gives the entry's file up (uncommitted) or removes it (committed); once
  // it is gone, its record says no longer stored. Never raises.
  void deleteEntry(StoredFile& file) noexcept;
  // The record of the open (or last opened) file.
  FileRecord& currentRecord() { return records_->back(); }
  // Marks the record failed with `e` and the store's `cause`, nothing stored.
  void recordFailure(FileRecord& record, const RaisedError& e, const StoreError& cause) noexcept;

  // Ends the open file's digest into its record (when checksums are on).
  void finishChecksum(FileRecord& record);
  // Adds content about to be written to the open file's digest; `before`
  // bytes of the file came earlier.
  void addToChecksum(std::span<const uint8_t> bytes, int64_t before) noexcept;
  // Marks the record of a file whose commit failed.
  void recordCommitFailure(FileRecord& record, const StoreError& error) noexcept;

  std::shared_ptr<Store> store_;
  bool checksums_ = false;
  Sha256Stream digest_;
  std::array<std::span<const uint8_t>, 2> readBuffers_;
  bool open_ = false;
  bool commitsHeld_ = false;
  int64_t lFileSize = 0;  // 64-bit: files past 2 GiB are counted exactly
  bool bMaxSizeExceeded = false;
  std::optional<int64_t> limit_;
  // Entries stay where they are once their file is gone, so that indexes
  // hold and nothing is moved per file.
  std::vector<StoredFile> storedFiles_;
  size_t current_ = 0;  // the open file's entry
  // The entry of each directory + name with an uncommitted file, so that a
  // later file of the same name finds the earlier without a search.
  std::unordered_map<std::string, size_t> uncommittedByName_;
  std::shared_ptr<std::vector<FileRecord>> records_ = std::make_shared<std::vector<FileRecord>>();
};

}  // namespace parcelmoor
