// The single file an upload object may have open: the target of the file part
// being received. Content reaches it straight from the caller's buffer, cut
// at MaxFileSize once a limit was assigned; in a plain field's part the same
// bytes become the item's value instead.
#include <algorithm>
#include <string>
#include <string_view>

#include "upload/upload_file.h"

namespace parcelmoor {
namespace {

constexpr const char* kOpenFileSource = "OpenFile";
constexpr const char* kFileIoSource = "File I/O Error";

}  // namespace

void UploadFile::openUploadFile() {
  using namespace modWin32;
  hFile = files_->CreateFileA(strFilePath, GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (hFile == INVALID_HANDLE_VALUE) {
    Raise(errnum::kOpenFileFailed, kOpenFileSource,
          "CreateFile failed. GetLastError=" + std::to_string(files_->GetLastError()));
  }
  // The lock is held: cut whatever an older file of this name held, so the
  // file ends up holding exactly the new content. Then remember the file, so
  // that the clean-up deletes this very file and nothing else.
  FileIdentity identity;
  if (!files_->SetEndOfFile(hFile) || !files_->GetFileIdentity(hFile, &identity)) {
    const uint32_t code = files_->GetLastError();
    closeUploadFile();
    Raise(errnum::kOpenFileFailed, kOpenFileSource, "CreateFile failed. GetLastError=" + std::to_string(code));
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
    closeUploadFile();
    throw;
  }
}

void UploadFile::writeBytes(const uint8_t* buffer, int32_t count, int32_t start) {
  if (count <= 0) return;

  if (lInFilePart != 1) {
    // A part without a Content-Disposition line has no item of its own: its
    // content never reaches an earlier item.
    if (!partHasItem_ || !objCurrentItem) return;
    const auto* bytes = reinterpret_cast<const char*>(buffer + start);
    // A part's content is one entry of the item's values, however the reads
    // cut it: the first piece starts the entry, later pieces join it.
    if (!valueStarted_) {
      objCurrentItem->setValue(std::string(bytes, static_cast<size_t>(count)));
      valueStarted_ = true;
    } else {
      objCurrentItem->continueValue(std::string_view(bytes, static_cast<size_t>(count)));
    }
    return;
  }

  // Every byte offered counts, even the ones the limit keeps off the disk.
  const int64_t previous = lFileSize;
  lFileSize = previous + count;
  int64_t n = count;
  if (lMaxFileSizeSet != 0) {
    if (bMaxSizeExceeded) return;
    if (lFileSize > lMaxFileSize) {
      bMaxSizeExceeded = kTrue;
      n = static_cast<int64_t>(lMaxFileSize) - previous;
    }
    if (n <= 0) return;
  }

  uint32_t written = 0;
  files_->WriteFile(hFile, buffer + start, static_cast<uint32_t>(n), &written);
  if (static_cast<int64_t>(written) != n) {
    Raise(errnum::kFileIo, kFileIoSource,
          "file i/o. GetLastError returned --> " + std::to_string(files_->GetLastError()));
  }
}

void UploadFile::closeUploadFile() {
  files_->CloseHandle(hFile);
  hFile = -1;
}

void UploadFile::abandonUploadFile() noexcept {
  // Any failure ends the abandon where it happened, silently.
  try {
    if (objCurrentItem && fileIsItemsOwn_) objCurrentItem->setFileSize(lFileSize);

    // Learn which file this is before the handle goes: once it is closed,
    // another upload may take the name, and only this file may be deleted.
    modWin32::FileIdentity identity;
    const bool known = hFile != -1 && files_->GetFileIdentity(hFile, &identity);
    closeUploadFile();

    if (bDeleteMaxFile && known) {
      const bool deleted = files_->DeleteFileIfIdentity(strFilePath, identity);
      if (deleted || files_->GetLastError() == modWin32::ERROR_FILE_NOT_FOUND) {
        std::erase_if(storedFiles_, [&identity](const StoredFile& f) { return f.identity == identity; });
      }
    }
  } catch (...) {
  }
}

}  // namespace parcelmoor
