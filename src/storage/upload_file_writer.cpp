// The single file an upload may have open, and the record of what it stored.
#include "storage/upload_file_writer.h"

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>

#include "storage/temporary_files.h"
#include "storage/upload_errors.h"

namespace parcelmoor {
namespace {

// A file name that may be joined to the upload directory: no directory
// separator left after the client-path cut, not "." or "..", no control byte.
bool IsSafeFileName(const std::string& name) {
  if (name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 32 || c == 127) return false;
  return true;
}

}  // namespace

UploadFileWriter::~UploadFileWriter() {
  for (StoredFile& file : storedFiles_) {
    if (file.handle != modWin32::INVALID_HANDLE_VALUE) files_->CloseHandle(file.handle);
  }
}

void UploadFileWriter::checkFinalName(const std::string& directory, const std::string& fileName) const {
  using namespace modWin32;
  // A name that could leave the upload directory is refused as the operating
  // system refuses an invalid name: nothing is opened.
  if (!IsSafeFileName(fileName)) uploaderr::RaiseOpenFileFailed(ERROR_INVALID_NAME);
  // The temporary is shorter than the final name: what only the final name
  // could not be is checked here, so that it fails at open as it always did.
  const std::string finalPath = PosixPath(directory + fileName);
  if (fileName.size() > NAME_MAX || finalPath.size() >= PATH_MAX) {
    uploaderr::RaiseOpenFileFailed(ERROR_FILENAME_EXCED_RANGE);
  }
  struct stat st;
  if (::lstat(finalPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) uploaderr::RaiseOpenFileFailed(ERROR_ACCESS_DENIED);
}

void UploadFileWriter::open(const std::string& directory, FileRecord file, std::optional<int64_t> limit) {
  const std::string fileName = file.fileName;
  records_->push_back(std::move(file));
  try {
    openRecorded(directory, fileName, limit);
  } catch (const RaisedError& e) {
    recordFailure(e);
    throw;
  }
}

void UploadFileWriter::openRecorded(const std::string& directory, const std::string& fileName,
                                    std::optional<int64_t> limit) {
  using namespace modWin32;
  checkFinalName(directory, fileName);
  const std::string finalPath = directory + fileName;
  dropUncommitted(finalPath);  // two files of one name in one upload: the later wins
  strFilePath = finalPath;
  const std::string temporary = directory + TemporaryNameFor(fileName);
  hFile = files_->CreateFileA(temporary, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (hFile == INVALID_HANDLE_VALUE) uploaderr::RaiseOpenFileFailed(files_->GetLastError());
  // The lock is held: cut what a crashed writer may have left in the temporary.
  FileIdentity identity;
  if (!files_->SetEndOfFile(hFile) || !files_->GetFileIdentity(hFile, &identity)) {
    const uint32_t code = files_->GetLastError();
    files_->CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
    uploaderr::RaiseOpenFileFailed(code);
  }
  try {
    storedFiles_.push_back(StoredFile{finalPath, temporary, identity, hFile, false, records_->size() - 1});
    uncommittedByPath_[finalPath] = storedFiles_.size() - 1;
  } catch (...) {
    // A file that cannot be recorded could never be cleaned up: give it up.
    if (!storedFiles_.empty() && storedFiles_.back().handle == hFile) storedFiles_.pop_back();
    StoredFile unrecorded{finalPath, temporary, identity, hFile, false, records_->size() - 1};
    deleteEntry(unrecorded);
    hFile = INVALID_HANDLE_VALUE;
    throw;
  }
  current_ = storedFiles_.size() - 1;
  lFileSize = 0;
  bMaxSizeExceeded = false;
  limit_ = limit;
  currentRecord().identity = identity;
}

void UploadFileWriter::recordFailure(const RaisedError& e) noexcept {
  FileRecord& record = currentRecord();
  record.outcome = FileOutcome::kFailed;
  record.storedPath.clear();
  record.bytesStored = 0;
  try {
    record.error = e;
  } catch (...) {
    // The outcome says failed all the same.
  }
}

void UploadFileWriter::write(const uint8_t* bytes, int32_t count) {
  if (count <= 0) return;
  // Every byte offered counts, even the ones the limit keeps off the disk.
  const int64_t previous = lFileSize;
  lFileSize = previous + count;
  FileRecord& record = currentRecord();
  record.bytesReceived = lFileSize;
  int64_t n = count;
  if (limit_) {
    if (bMaxSizeExceeded) return;
    if (lFileSize > *limit_) {
      bMaxSizeExceeded = true;
      n = *limit_ - previous;
    }
    if (n <= 0) return;
  }
  uint32_t written = 0;
  files_->WriteFile(hFile, bytes, static_cast<uint32_t>(n), &written);
  record.bytesStored += written;
  if (static_cast<int64_t>(written) == n) return;
  // A file short of bytes it received is never kept.
  const uint32_t code = files_->GetLastError();
  abandon(true);
  try {
    uploaderr::RaiseFileIo(code);
  } catch (const RaisedError& e) {
    recordFailure(e);
    throw;
  }
}

size_t UploadFileWriter::storedFileCount() const {
  return static_cast<size_t>(std::count_if(storedFiles_.begin(), storedFiles_.end(), [](const StoredFile& f) {
    return f.committed || !f.temporary.empty();
  }));
}

void UploadFileWriter::close() {
  FileRecord& record = currentRecord();
  record.outcome = FileOutcome::kStored;
  record.storedPath = modWin32::PosixPath(strFilePath);
  hFile = modWin32::INVALID_HANDLE_VALUE;
}

void UploadFileWriter::abandon(bool deleteFile) noexcept {
  StoredFile* file = isOpen() ? current() : nullptr;
  if (file != nullptr) {
    FileRecord& record = (*records_)[file->record];
    record.outcome = !overLimit() ? FileOutcome::kNotStored : deleteFile ? FileOutcome::kDeleted : FileOutcome::kCut;
    if (!deleteFile) record.storedPath = modWin32::PosixPath(strFilePath);
    if (deleteFile) record.bytesStored = 0;
  }
  hFile = modWin32::INVALID_HANDLE_VALUE;
  if (!deleteFile || file == nullptr) return;
  deleteEntry(*file);
  // A file the delete missed stays recorded: the clean-up tries again.
  if (file->temporary.empty()) uncommittedByPath_.erase(file->path);
}

void UploadFileWriter::deleteEntry(StoredFile& file) noexcept {
  // The lock goes first: the delete takes it again to know nobody holds it.
  if (file.handle != modWin32::INVALID_HANDLE_VALUE) files_->CloseHandle(file.handle);
  file.handle = modWin32::INVALID_HANDLE_VALUE;
  const std::string& name = file.committed ? file.path : file.temporary;
  if (files_->DeleteFileIfIdentity(name, file.identity) || files_->GetLastError() == modWin32::ERROR_FILE_NOT_FOUND) {
    file.temporary.clear();  // gone
    file.committed = false;
    FileRecord& record = (*records_)[file.record];
    record.storedPath.clear();
    record.bytesStored = 0;
    if (record.outcome == FileOutcome::kStored || record.outcome == FileOutcome::kCut) {
      record.outcome = FileOutcome::kNotStored;
    }
  }
}

void UploadFileWriter::dropUncommitted(const std::string& finalPath) noexcept {
  auto found = uncommittedByPath_.find(finalPath);
  if (found == uncommittedByPath_.end()) return;
  StoredFile& file = storedFiles_[found->second];
  uncommittedByPath_.erase(found);
  deleteEntry(file);
  // Given up even when the delete missed: the later file takes the name, and
  // a sweep removes what is left.
  file.temporary.clear();
  FileRecord& record = (*records_)[file.record];
  record.outcome = FileOutcome::kNotStored;
  record.storedPath.clear();
  record.bytesStored = 0;
  record.replacedByLater = true;
}

int UploadFileWriter::commitAll() {
  int failed = 0;
  for (StoredFile& file : storedFiles_) {
    if (file.committed || file.temporary.empty()) continue;
    // Still under the lock: nobody else can have touched the temporary.
    if (files_->MoveFileExA(file.temporary, file.path, modWin32::MOVEFILE_REPLACE_EXISTING)) {
      files_->CloseHandle(file.handle);
      file.handle = modWin32::INVALID_HANDLE_VALUE;
      file.committed = true;
      continue;
    }
    ++failed;
    const uint32_t code = files_->GetLastError();
    deleteEntry(file);
    file.temporary.clear();  // given up; a sweep removes what the delete missed
    FileRecord& record = (*records_)[file.record];
    record.outcome = FileOutcome::kFailed;
    record.storedPath.clear();
    record.bytesStored = 0;
    record.error = RaisedError(uploaderr::kFileIo, uploaderr::kFileIoSource,
                             "MoveFileEx failed. GetLastError=" + std::to_string(code));
  }
  uncommittedByPath_.clear();
  return failed;
}

void UploadFileWriter::releaseStored(bool deleteThem) {
  if (deleteThem) {
    for (StoredFile& file : storedFiles_) {
      if (file.committed || !file.temporary.empty()) deleteEntry(file);
    }
  } else {
    commitAll();
  }
  storedFiles_.clear();
  uncommittedByPath_.clear();
}

}  // namespace parcelmoor
