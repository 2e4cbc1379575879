// The single file an upload may have open, and the record of what it stored.
#include "storage/upload_file_writer.h"

#include <algorithm>

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
  if (isOpen()) files_->CloseHandle(hFile);
}

void UploadFileWriter::open(const std::string& directory, const std::string& fileName,
                            std::optional<int64_t> limit) {
  using namespace modWin32;
  // A name that could leave the upload directory is refused as the operating
  // system refuses an invalid name: nothing is deleted or opened.
  if (!IsSafeFileName(fileName)) uploaderr::RaiseOpenFileFailed(ERROR_INVALID_NAME);
  strFilePath = directory + fileName;
  files_->DeleteFileA(strFilePath);
  hFile = files_->CreateFileA(strFilePath, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (hFile == INVALID_HANDLE_VALUE) uploaderr::RaiseOpenFileFailed(files_->GetLastError());
  // The lock is held: cut whatever an older file of this name held (its old
  // name could not be deleted), so the file holds exactly the new content.
  if (!files_->SetEndOfFile(hFile)) {
    const uint32_t code = files_->GetLastError();
    close();
    uploaderr::RaiseOpenFileFailed(code);
  }
  recordOpenFile();
  lFileSize = 0;
  bMaxSizeExceeded = false;
  limit_ = limit;
}

void UploadFileWriter::recordOpenFile() {
  modWin32::FileIdentity identity;
  if (!files_->GetFileIdentity(hFile, &identity)) {
    const uint32_t code = files_->GetLastError();
    close();
    uploaderr::RaiseOpenFileFailed(code);
  }
  // A file seen before (its old name could not be deleted, so the open met
  // it again) keeps one entry, under the name it now has.
  auto known = std::find_if(storedFiles_.begin(), storedFiles_.end(),
                            [&identity](const StoredFile& f) { return f.identity == identity; });
  try {
    if (known != storedFiles_.end()) {
      known->path = strFilePath;
    } else {
      storedFiles_.push_back(StoredFile{strFilePath, identity});
    }
  } catch (...) {
    // A file that cannot be recorded could never be cleaned up: give it up.
    close();
    throw;
  }
}

void UploadFileWriter::write(const uint8_t* bytes, int32_t count) {
  if (count <= 0) return;
  // Every byte offered counts, even the ones the limit keeps off the disk.
  const int64_t previous = lFileSize;
  lFileSize = previous + count;
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
  if (static_cast<int64_t>(written) != n) uploaderr::RaiseFileIo(files_->GetLastError());
}

void UploadFileWriter::close() {
  files_->CloseHandle(hFile);
  hFile = modWin32::INVALID_HANDLE_VALUE;
}

void UploadFileWriter::abandon(bool deleteFile) noexcept {
  // Any failure ends the abandon where it happened, silently.
  try {
    // Learn which file this is before the handle goes: once it is closed,
    // another upload may take the name, and only this file may be deleted.
    modWin32::FileIdentity identity;
    const bool known = isOpen() && files_->GetFileIdentity(hFile, &identity);
    close();
    if (deleteFile && known) {
      const bool deleted = files_->DeleteFileIfIdentity(strFilePath, identity);
      if (deleted || files_->GetLastError() == modWin32::ERROR_FILE_NOT_FOUND) {
        std::erase_if(storedFiles_, [&identity](const StoredFile& f) { return f.identity == identity; });
      }
    }
  } catch (...) {
  }
}

void UploadFileWriter::releaseStored(bool deleteThem) {
  if (deleteThem) {
    for (const StoredFile& file : storedFiles_) files_->DeleteFileIfIdentity(file.path, file.identity);
  }
  storedFiles_.clear();
}

}  // namespace parcelmoor
