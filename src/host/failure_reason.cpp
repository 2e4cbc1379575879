#include "host/failure_reason.h"

#include <charconv>
#include <string_view>

#include "runtime/raised_error.h"
#include "storage/mod_win32.h"
#include "storage/upload_errors.h"

namespace parcelmoor {
namespace {

// The system error number the file layer put into a text
// ("CreateFile failed. GetLastError=112"), or 0.
uint32_t SystemErrorIn(std::string_view text) {
  for (std::string_view key : {"GetLastError=", "GetLastError returned --> "}) {
    size_t at = text.find(key);
    if (at == std::string_view::npos) continue;
    std::string_view digits = text.substr(at + key.size());
    uint32_t code = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), code);
    return code;
  }
  return 0;
}

FailureMeaning StorageMeaning(uint32_t code) {
  using namespace modWin32;
  switch (code) {
    case ERROR_DISK_FULL: return {507, "the disk is full", "disk-full"};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return {500, "the upload directory does not exist", "no-directory"};
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return {500, "the upload directory may not be written to", "not-writable"};
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return {500, "the file name is not allowed", "bad-file-name"};
    case ERROR_SHARING_VIOLATION: return {500, "another upload is writing a file of the same name", "file-busy"};
    case ERROR_TOO_MANY_OPEN_FILES: return {500, "the server has too many files open", "too-many-files"};
    default: return {500, "the file could not be stored (system error " + std::to_string(code) + ")", "storage-error"};
  }
}

}  // namespace

FailureMeaning MeaningOf(const ErrorReport& f) {
  switch (f.number) {
    case uploaderr::kFieldTooLarge: return {413, "a text field is longer than this server accepts", "field-too-large"};
    case uploaderr::kTooManyParts: return {413, "the upload has more parts than this server accepts", "too-many-parts"};
    case uploaderr::kNoDelimiterLine:
    case uploaderr::kDelimiterLineTooLong:
    case uploaderr::kHeaderLineTooLong: return {400, "the request body is not well-formed multipart/form-data", "malformed"};
    case uploaderr::kNoFileUploaded: return {200, "a file field was sent without a file", "no-file"};
    case uploaderr::kOpenFileFailed:
    case uploaderr::kFileIo: return StorageMeaning(SystemErrorIn(f.description));
    default: return {500, "the upload stopped: " + f.description, "failed"};
  }
}

FailureMeaning MeaningOf(const PageResult& page) {
  if (page.error) return {500, "the upload page failed: " + page.error->description, "page-error"};
  if (page.releaseError) return {500, "cleaning up the upload failed: " + page.releaseError->description, "release-error"};
  if (page.parseFailure) return MeaningOf(*page.parseFailure);
  return {};
}

}  // namespace parcelmoor
