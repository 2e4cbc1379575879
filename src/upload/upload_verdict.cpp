#include "upload/upload_verdict.h"

#include <algorithm>

#include "runtime/raised_error.h"
#include "upload/upload_errors.h"

namespace parcelmoor {
namespace {

// The component raises these when its store failed; the failed file's record
// says why.
bool IsStorageFailure(int32_t number) {
  return number == uploaderr::kOpenFileFailed || number == uploaderr::kFileIo;
}

// The component's storage texts name the calls of another system
// ("CreateFile failed. GetLastError=3") or a script's ("...using
// setUploadDirectory function"): a person is told plainly, with the system
// code they end in. Other texts are the component's plain sentences.
std::string PlainDescription(const RaisedFailure& f) {
  if (f.number == uploaderr::kDirectoryEmpty) return "no upload directory is set";
  if (!IsStorageFailure(f.number)) return f.description;
  const size_t digits = f.description.find_last_not_of("0123456789") + 1;  // npos + 1: all digits
  const std::string code = f.description.substr(digits);
  return code.empty() ? "a file could not be written or removed"
                      : "a file could not be written or removed (system error " + code + ")";
}

// A store failure whose record carries no cause (a failure outside the
// store, or a store that could not say).
FailureMeaning UnexplainedStorageFailure() { return {500, "a file could not be stored", "storage-error"}; }

FailureMeaning RefusalMeaning(const FileRecord& file) {
  return {file.refusalStatus != 0 ? file.refusalStatus : 422,
          file.refusalReason.empty() ? "a file was refused" : file.refusalReason,
          file.refusal.empty() ? "file-refused" : file.refusal};
}

// Why the first failed or refused file failed; status 200 when none did.
FailureMeaning FirstFileFailure(std::span<const FileRecord> files) {
  for (const FileRecord& file : files) {
    if (file.outcome == FileOutcome::kFailed) return MeaningOf(file.storeError);
    if (file.outcome == FileOutcome::kRefused || file.outcome == FileOutcome::kInfected) {
      return RefusalMeaning(file);
    }
  }
  return {};
}

// A file the sender meant to store that the upload does not keep.
bool Lost(const FileRecord& file, const UploadFacts& facts) {
  if (facts.storedFilesGoAtRelease && !file.storedPath.empty()) return true;
  return file.outcome == FileOutcome::kNotStored && !file.replacedByLater;
}

}  // namespace

FailureMeaning MeaningOf(const StoreError& e) {
  switch (e.cause) {
    case StoreCause::kDiskFull: return {507, "the disk is full", "disk-full"};
    case StoreCause::kNoDirectory: return {500, "the upload directory does not exist", "no-directory"};
    case StoreCause::kNotWritable: return {500, "the upload directory may not be written to", "not-writable"};
    // A name is the client's choice: one the store cannot take is the
    // client's to change, never a fault of the server.
    case StoreCause::kNameRefused: return {422, "the file name is not allowed", "bad-file-name"};
    case StoreCause::kNameTooLong: return {422, "the file name is longer than this server takes", "bad-file-name"};
    case StoreCause::kIsDirectory:
      return {422, "the file name is not allowed: a directory of that name is in the way", "bad-file-name"};
    case StoreCause::kNameBusy: return {500, "another upload is writing a file of the same name", "file-busy"};
    case StoreCause::kNameExists: return {409, "a file of that name exists", "name-exists"};
    case StoreCause::kTooManyFiles: return {500, "the server has too many files open", "too-many-files"};
    // A remote store's own failures: it said no (502, as a gateway whose
    // upstream failed), it could not be reached (503: try again later), it
    // did not answer in time (504).
    case StoreCause::kRefused: return {502, "the file store refused the file", "store-refused"};
    case StoreCause::kUnreachable: return {503, "the file store could not be reached", "store-unreachable"};
    case StoreCause::kTimedOut: return {504, "the file store did not answer in time", "store-timeout"};
    case StoreCause::kIo:
      return {500, "the file could not be stored (system error " + std::to_string(e.systemError) + ")",
              "storage-error"};
    case StoreCause::kNone: break;
  }
  return UnexplainedStorageFailure();
}

FailureMeaning MeaningOfParseStop(const RaisedFailure& f) {
  if (IsStorageFailure(f.number)) return UnexplainedStorageFailure();
  switch (f.number) {
    case uploaderr::kFieldTooLarge: return {413, "a text field is longer than this server accepts", "field-too-large"};
    case uploaderr::kFieldsTooLarge:
      return {413, "the text fields together are longer than this server accepts", "fields-too-large"};
    case uploaderr::kTooManyParts: return {413, "the upload has more parts than this server accepts", "too-many-parts"};
    case uploaderr::kNoDelimiterLine:
    case uploaderr::kDelimiterLineTooLong:
    case uploaderr::kHeaderLineTooLong: return {400, "the request body is not well-formed multipart/form-data", "malformed"};
    case uploaderr::kNoFileUploaded:
      return {200, "a file field was sent without a file, so the parts after it were not read", "no-file"};
    // Form keys its items by name: a name sent again after other fields
    // (or in other letter case) cannot be added, and the rest is not read.
    case errnum::kDuplicateKey:
      return {422, "the form sends a field name again after other fields, so the parts from there on were not read",
              "repeated-field"};
    default: return {500, "the upload stopped: " + PlainDescription(f), "failed"};
  }
}

FailureMeaning ParseStopOf(const UploadFacts& facts) {
  if (!facts.parseFailure) return {};
  if (IsStorageFailure(facts.parseFailure->number)) {
    const FailureMeaning file = FirstFileFailure(facts.files);
    if (file.status != 200) return file;
  }
  return MeaningOfParseStop(*facts.parseFailure);
}

FailureMeaning VerdictOf(const UploadFacts& facts) {
  if (facts.raised) {
    // A raised store failure is told by the failed file's cause, never by
    // the component's system-style text ("CreateFile failed...").
    if (IsStorageFailure(facts.raised->number)) {
      const FailureMeaning file = FirstFileFailure(facts.files);
      return file.status != 200 ? file : UnexplainedStorageFailure();
    }
    return {500, "the upload page failed: " + PlainDescription(*facts.raised), "page-error"};
  }
  if (facts.releaseError) {
    return {500, "cleaning up the upload failed: " + PlainDescription(*facts.releaseError), "release-error"};
  }
  if (facts.scanFailure) {
    // Why (the scanner's address, its error) goes to the log note, not here.
    return {503, "the upload could not be scanned for viruses, so none of its files was kept", "scan-unavailable"};
  }
  if (facts.boundaryMismatch) {
    return {400, "the body does not begin with the boundary its Content-Type names", "boundary-mismatch"};
  }
  const FailureMeaning parse = ParseStopOf(facts);
  if (parse.status != 200) return parse;
  if (FailureMeaning file = FirstFileFailure(facts.files); file.status != 200) return file;
  for (const FileRecord& file : facts.files) {
    if (file.outcome == FileOutcome::kDeleted) {
      return {413, "a file is larger than this server accepts, so it was not kept", "file-too-large"};
    }
  }
  for (const FileRecord& file : facts.files) {
    if (!Lost(file, facts)) continue;
    if (facts.parseFailure) {
      return {400, parse.reason + ", so the upload stopped and kept none of its files", parse.word};
    }
    return {400, "the request ended before every file had arrived", "incomplete"};
  }
  return parse;
}

int32_t FilesLeftStored(const UploadFacts& facts) {
  if (facts.storedFilesGoAtRelease) return 0;
  return static_cast<int32_t>(
      std::count_if(facts.files.begin(), facts.files.end(), [](const FileRecord& f) { return !f.storedPath.empty(); }));
}

}  // namespace parcelmoor
