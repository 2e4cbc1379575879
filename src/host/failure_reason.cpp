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
    case uploaderr::kNoFileUploaded:
      return {200, "a file field was sent without a file, so the parts after it were not read", "no-file"};
    case uploaderr::kOpenFileFailed:
    case uploaderr::kFileIo: return StorageMeaning(SystemErrorIn(f.description));
    // Form keys its items by name: a name sent again after other fields
    // (or in other letter case) cannot be added, and the rest is not read.
    case errnum::kDuplicateKey:
      return {422, "the form sends a field name again after other fields, so the parts from there on were not read",
              "repeated-field"};
    default: return {500, "the upload stopped: " + f.description, "failed"};
  }
}

namespace {

FailureMeaning MeaningOf(const RaisedError& e) { return MeaningOf(ErrorReport::From(e)); }

bool Lost(const FileRecord& file) {
  return file.outcome == FileOutcome::kNotStored && !file.replacedByLater;
}

}  // namespace

FailureMeaning MeaningOf(const PageResult& page) {
  if (page.error) return {500, "the upload page failed: " + page.error->description, "page-error"};
  if (page.releaseError) return {500, "cleaning up the upload failed: " + page.releaseError->description, "release-error"};
  if (page.boundaryMismatch) {
    return {400, "the body does not begin with the boundary its Content-Type names", "boundary-mismatch"};
  }
  const FailureMeaning parse = page.parseFailure ? MeaningOf(*page.parseFailure) : FailureMeaning{};
  if (parse.status != 200) return parse;
  for (const FileRecord& file : page.files) {
    if (file.outcome == FileOutcome::kFailed && file.error) return MeaningOf(*file.error);
  }
  for (const FileRecord& file : page.files) {
    if (file.outcome == FileOutcome::kDeleted) {
      return {413, "a file is larger than this server accepts, so it was deleted", "file-too-large"};
    }
  }
  for (const FileRecord& file : page.files) {
    if (!Lost(file)) continue;
    if (page.parseFailure) {
      return {400, parse.reason + ", so the upload stopped and kept none of its files", parse.word};
    }
    return {400, "the request ended before every file had arrived", "incomplete"};
  }
  return parse;
}

std::string ReasonFor(const FileRecord& file, const PageResult& page) {
  switch (file.outcome) {
    case FileOutcome::kStored: return {};
    case FileOutcome::kCut: return "it was cut at the size limit";
    case FileOutcome::kDeleted: return "it is larger than the size limit, so it was deleted";
    case FileOutcome::kFailed: return file.error ? MeaningOf(*file.error).reason : "it could not be stored";
    case FileOutcome::kNotStored: break;
  }
  if (file.replacedByLater) return "a later file of the same name in this upload replaced it";
  const auto index = static_cast<size_t>(&file - page.files.data());
  if (index < page.withdrawnFiles.size() && page.withdrawnFiles[index]) {
    return "the upload failed, so it was not handed to the application and was removed";
  }
  if (!file.storedPath.empty()) return "the request ended inside it; what arrived was kept";
  if (page.parseFailure) return "the upload stopped: " + MeaningOf(*page.parseFailure).reason;
  return "the request ended before the upload was complete";
}

}  // namespace parcelmoor
