#pragma once
// The file of the file part being received, and the record of every file one
// upload stored. One writer serves one upload object, on one thread; at most
// one file is open at a time. Content reaches the file straight from the
// caller's buffer, cut at the size limit given at open; every byte offered is
// counted, kept or not.
//
// The record holds each stored file's path and identity, so that the clean-up
// of an upload that did not arrive whole deletes exactly the files this
// writer created, never a file someone else later put under the same name.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/mod_win32.h"

namespace parcelmoor {

class UploadFileWriter {
 public:
  UploadFileWriter() = default;
  // Closes a file still open; what was stored stays on disk.
  ~UploadFileWriter();
  UploadFileWriter(const UploadFileWriter&) = delete;
  UploadFileWriter& operator=(const UploadFileWriter&) = delete;

  // Replaces the file layer (tests inject failures). REQUIRES: `layer`
  // outlives the writer; no file is open.
  void setFileLayer(modWin32::FileLayer& layer) { files_ = &layer; }

  // Opens `directory` + `fileName` as a new, empty file under the exclusive
  // lock (deleting what the name held first) and records it. The size count
  // starts at 0; `limit`, when given, is the most bytes kept on disk.
  // Raises -20 "OpenFile" with the system's code (123 for a name that could
  // leave the directory); then no file is open and nothing is recorded.
  // REQUIRES: no file is open.
  void open(const std::string& directory, const std::string& fileName, std::optional<int64_t> limit);

  // Counts `count` bytes and writes those within the limit. Raises 15001
  // "File I/O Error" with the system's code when the write fails or comes up
  // short; the file stays open. REQUIRES: a file is open.
  void write(const uint8_t* bytes, int32_t count);

  // Closes the finished file; it stays recorded.
  void close();

  // Closes the file (if open) and, when `deleteFile`, deletes it while its
  // name still names it, forgetting it then. Never raises.
  void abandon(bool deleteFile) noexcept;

  // Ends this writer's hold on every recorded file: deletes each one whose
  // name still names it when `deleteThem`, keeps them otherwise, and forgets
  // them all. REQUIRES: no file is open.
  void releaseStored(bool deleteThem);

  bool isOpen() const { return hFile != modWin32::INVALID_HANDLE_VALUE; }
  // Bytes offered to the current (or last) file, including those cut.
  int64_t size() const { return lFileSize; }
  // The file got more bytes than its limit allows.
  bool overLimit() const { return limit_ && lFileSize > *limit_; }
  const std::string& path() const { return strFilePath; }
  // Number of files this writer created and still holds on disk.
  size_t storedFileCount() const { return storedFiles_.size(); }

 private:
  // Remembers the open file under `strFilePath` (one entry per file).
  // Raises nothing of its own; on an allocation failure the file is closed.
  void recordOpenFile();

  struct StoredFile {
    std::string path;
    modWin32::FileIdentity identity;
  };

  modWin32::FileLayer* files_ = &modWin32::FileLayer::Posix();
  int32_t hFile = modWin32::INVALID_HANDLE_VALUE;
  std::string strFilePath;
  int64_t lFileSize = 0;  // 64-bit: files past 2 GiB are counted exactly
  bool bMaxSizeExceeded = false;
  std::optional<int64_t> limit_;
  std::vector<StoredFile> storedFiles_;
};

}  // namespace parcelmoor
