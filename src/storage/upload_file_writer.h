#pragma once
// The file of the file part being received, and the record of every file one
// upload stored. One writer serves one upload object, on one thread; at most
// one file is open for writing at a time. Content reaches the file straight
// from the caller's buffer, cut at the size limit given at open; every byte
// offered is counted, kept or not.
//
// Each file is written under a temporary name in its directory (see
// temporary_files.h) and holds its lock there until it is committed: renamed
// over its final name in one step, so an earlier file of that name stays
// whole until then, and another upload of the same name is refused with 32
// meanwhile. A file whose write failed is deleted at once. The record holds
// each file's paths and identity, so that a clean-up deletes exactly the
// files this writer created, never a file someone else put under the name.
// Beside it, the writer keeps a FileRecord of every file it was asked to
// open, updated at each step, which outlives the writer for the host.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/raised_error.h"
#include "storage/file_record.h"
#include "storage/mod_win32.h"

namespace parcelmoor {

class UploadFileWriter {
 public:
  UploadFileWriter() = default;
  // Releases the locks of uncommitted files, leaving them to a sweep.
  ~UploadFileWriter();
  UploadFileWriter(const UploadFileWriter&) = delete;
  UploadFileWriter& operator=(const UploadFileWriter&) = delete;

  // Replaces the file layer (tests inject failures). REQUIRES: `layer`
  // outlives the writer; no file is held.
  void setFileLayer(modWin32::FileLayer& layer) { files_ = &layer; }

  // Opens a new, empty temporary for `directory` + `file.fileName`, locked,
  // and records it; `file` (field name, client path, file name) starts the
  // file's record, kept even when the open fails. An uncommitted file of the same name from this writer is
  // deleted first (the later one wins). The size count starts at 0; `limit`,
  // when given, is the most bytes kept on disk. Raises -20 "OpenFile" with
  // the system's code for what the final name would refuse (123 a name that
  // could leave the directory, 206 too long, 5 a directory, 3 no directory)
  // and 32 while another upload writes that name; then no file is open and
  // its record says failed. REQUIRES: no file is open.
  void open(const std::string& directory, FileRecord file, std::optional<int64_t> limit);

  // Counts `count` bytes and writes those within the limit. When the write
  // fails or comes up short, deletes the file, forgets it and raises 15001
  // "File I/O Error" with the system's code. REQUIRES: a file is open.
  void write(const uint8_t* bytes, int32_t count);

  // Ends writing the open file, whole; it stays recorded, locked and
  // uncommitted.
  void close();

  // Ends writing the open file (if any) and, when `deleteFile`, deletes it
  // and forgets it. Its record says deleted when it was over the limit, cut
  // when it was over the limit and kept, else not stored (the request ended
  // inside it). Never raises.
  void abandon(bool deleteFile) noexcept;

  // Renames every uncommitted file over its final name and releases its
  // lock. A file whose rename fails is deleted, forgotten and recorded as
  // failed; returns the number of such files. REQUIRES: no file is open.
  int commitAll();

  // Ends this writer's hold on every recorded file: when `deleteThem`,
  // deletes each (committed ones while their name still names them), else
  // commits the uncommitted ones; forgets them all. REQUIRES: no file is open.
  void releaseStored(bool deleteThem);

  bool isOpen() const { return hFile != modWin32::INVALID_HANDLE_VALUE; }
  // Bytes offered to the current (or last) file, including those cut.
  int64_t size() const { return lFileSize; }
  // The file got more bytes than its limit allows.
  bool overLimit() const { return limit_ && lFileSize > *limit_; }
  // The final path of the current (or last) file.
  const std::string& path() const { return strFilePath; }
  // Number of files this writer created and still holds on disk.
  size_t storedFileCount() const;
  // The record of every file, in the order they were opened. The pointer
  // stays valid, and the records current, for as long as anyone holds it.
  std::shared_ptr<const std::vector<FileRecord>> records() const { return records_; }
  // Adds the record of a file part that is stored nowhere (no file, refused).
  void recordWithoutFile(FileRecord file) { records_->push_back(std::move(file)); }

 private:
  struct StoredFile {
    std::string path;       // final name
    std::string temporary;  // where it is until committed; empty once deleted
    modWin32::FileIdentity identity;
    int32_t handle = modWin32::INVALID_HANDLE_VALUE;  // holds the lock until committed
    bool committed = false;
    size_t record = 0;  // its entry in records_
  };

  // open() once the record exists.
  void openRecorded(const std::string& directory, const std::string& fileName, std::optional<int64_t> limit);
  // Raises -20 for a final name the file system would refuse.
  void checkFinalName(const std::string& directory, const std::string& fileName) const;
  // Deletes this writer's uncommitted file of final name `finalPath`, if any.
  void dropUncommitted(const std::string& finalPath) noexcept;
  // Closes the entry's handle and deletes its file (the temporary while
  // uncommitted, else the final name while it names the file); once the file
  // is gone, the entry is uncommitted with no temporary. Never raises.
  void deleteEntry(StoredFile& file) noexcept;
  // The entry of the open file, or nullptr.
  StoredFile* current() { return isOpen() ? &storedFiles_[current_] : nullptr; }
  // The record of the open (or last opened) file.
  FileRecord& currentRecord() { return records_->back(); }
  // Marks the current file's record failed with `e`, nothing of it stored.
  void recordFailure(const RaisedError& e) noexcept;

  modWin32::FileLayer* files_ = &modWin32::FileLayer::Posix();
  int32_t hFile = modWin32::INVALID_HANDLE_VALUE;
  std::string strFilePath;
  int64_t lFileSize = 0;  // 64-bit: files past 2 GiB are counted exactly
  bool bMaxSizeExceeded = false;
  std::optional<int64_t> limit_;
  // Entries stay where they are once their file is gone (no temporary, not
  // committed), so that indexes hold and nothing is moved per file.
  std::vector<StoredFile> storedFiles_;
  size_t current_ = 0;  // the open file's entry
  // The entry of each final path with an uncommitted file, so that a later
  // file of the same name finds the earlier without a search.
  std::unordered_map<std::string, size_t> uncommittedByPath_;
  std::shared_ptr<std::vector<FileRecord>> records_ = std::make_shared<std::vector<FileRecord>>();
};

}  // namespace parcelmoor
