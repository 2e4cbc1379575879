#include "host/failure_reason.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upload/upload_errors.h"

namespace parcelmoor {
namespace {

FileRecord Record(FileOutcome outcome, StoreCause cause = StoreCause::kNone) {
  FileRecord file;
  file.fieldName = "f";
  file.fileName = "a.bin";
  file.outcome = outcome;
  if (outcome == FileOutcome::kStored) file.storedPath = "/up/a.bin";
  file.storeError = StoreError{cause, cause == StoreCause::kNone ? 0 : 5};
  return file;
}

FileRecord Refused(int status) {
  FileRecord file = Record(FileOutcome::kRefused);
  file.refusal = "type-not-allowed";
  file.refusalReason = "files of this type are not accepted";
  file.refusalStatus = status;
  return file;
}

ErrorReport Failure(int32_t number) { return {number, "source", "description"}; }

struct Case {
  const char* why;
  std::vector<FileRecord> files;
  std::optional<ErrorReport> parseFailure;
  int status;
  std::string word;
  // What the last file's record says of it, and a part of the page's reason.
  std::string lastFileReason;
  std::string reasonPart = {};
};

// Each way an upload ends, by what the records and the parse failure say:
// storage failures by the store's typed cause (never by an error text), the
// part policy's refusals by their own status, a file input without a file
// as no failure.
TEST(FailureReasonTest, StatusWordAndReasonFollowTheRecords) {
  using enum StoreCause;
  const FileRecord stored = Record(FileOutcome::kStored);
  const Case cases[] = {
      {"every file stored", {stored}, std::nullopt, 200, "", ""},
      {"disk full while writing", {Record(FileOutcome::kFailed, kDiskFull)}, Failure(uploaderr::kFileIo),
       507, "disk-full", "the disk is full", "the disk is full"},
      {"disk full after a stored file", {stored, Record(FileOutcome::kFailed, kDiskFull)},
       Failure(uploaderr::kFileIo), 507, "disk-full", "the disk is full"},
      {"missing directory", {Record(FileOutcome::kFailed, kNoDirectory)}, Failure(uploaderr::kOpenFileFailed),
       500, "no-directory", "the upload directory does not exist"},
      {"directory not writable", {Record(FileOutcome::kFailed, kNotWritable)}, Failure(uploaderr::kOpenFileFailed),
       500, "not-writable", "the upload directory may not be written to"},
      {"name refused by the store", {stored, Record(FileOutcome::kFailed, kNameRefused)},
       Failure(uploaderr::kOpenFileFailed), 422, "bad-file-name", "the file name is not allowed"},
      {"name too long", {Record(FileOutcome::kFailed, kNameTooLong)}, Failure(uploaderr::kOpenFileFailed),
       422, "bad-file-name", "the file name is longer than this server takes"},
      {"name in use by another upload", {Record(FileOutcome::kFailed, kNameBusy)},
       Failure(uploaderr::kOpenFileFailed), 500, "file-busy", "another upload is writing a file of the same name"},
      {"out of descriptors", {Record(FileOutcome::kFailed, kTooManyFiles)}, Failure(uploaderr::kOpenFileFailed),
       500, "too-many-files", "the server has too many files open"},
      {"remote store refused", {Record(FileOutcome::kFailed, kRefused)}, Failure(uploaderr::kFileIo),
       502, "store-refused", "the file store refused the file"},
      {"remote store unreachable", {Record(FileOutcome::kFailed, kUnreachable)}, Failure(uploaderr::kFileIo),
       503, "store-unreachable", "the file store could not be reached"},
      {"remote store too slow", {Record(FileOutcome::kFailed, kTimedOut)}, Failure(uploaderr::kFileIo),
       504, "store-timeout", "the file store did not answer in time"},
      {"other store failure", {Record(FileOutcome::kFailed, kIo)}, Failure(uploaderr::kFileIo),
       500, "storage-error", "the file could not be stored (system error 5)"},
      {"store failure without a cause", {Record(FileOutcome::kFailed)}, Failure(uploaderr::kFileIo),
       500, "storage-error", "a file could not be stored"},
      {"refused by the part policy", {stored, Refused(415)}, std::nullopt,
       415, "type-not-allowed", "files of this type are not accepted"},
      {"refused without a status of its own", {Refused(0)}, std::nullopt,
       422, "type-not-allowed", "files of this type are not accepted"},
      {"file input sent without a file", {stored, Record(FileOutcome::kNoFile)}, std::nullopt,
       200, "", "no file was chosen for this field"},
      {"over the limit and deleted", {Record(FileOutcome::kDeleted)}, std::nullopt,
       413, "file-too-large", "it is larger than the size limit, so it was deleted", "so it was not kept"},
      {"over the limit beside a stored file: the reason names the kept one", {stored, Record(FileOutcome::kDeleted)},
       std::nullopt, 413, "file-too-large", "it is larger than the size limit, so it was deleted",
       "so it was not kept; kept: a.bin"},
      {"a failed upload of several files says none was kept",
       {Record(FileOutcome::kNotStored), Record(FileOutcome::kNotStored)}, std::nullopt, 400, "incomplete",
       "the request ended before the upload was complete", "; none of its files was kept"},
      {"cut at the limit", {Record(FileOutcome::kCut)}, std::nullopt, 200, "", "it was cut at the size limit"},
      {"request ended inside a file", {Record(FileOutcome::kNotStored)}, std::nullopt,
       400, "incomplete", "the request ended before the upload was complete"},
      {"field too long: the file after it is lost", {Record(FileOutcome::kNotStored)},
       Failure(uploaderr::kFieldTooLarge), 413, "field-too-large",
       "the upload stopped: a text field is longer than this server accepts"},
      {"store failed: the earlier file is lost too",
       {Record(FileOutcome::kFailed, kDiskFull), Record(FileOutcome::kNotStored)}, Failure(uploaderr::kFileIo),
       507, "disk-full", "the upload stopped: the disk is full"},
      {"a name sent again", {stored}, Failure(errnum::kDuplicateKey), 422, "repeated-field", ""},
      {"malformed body", {}, Failure(uploaderr::kHeaderLineTooLong), 400, "malformed", "", "not well-formed"},
  };
  for (const Case& c : cases) {
    PageResult page;
    page.files = c.files;
    page.parseFailure = c.parseFailure;
    const FailureMeaning meaning = MeaningOf(page);
    EXPECT_EQ(meaning.status, c.status) << c.why;
    if (c.status != 200) {
      EXPECT_EQ(meaning.word, c.word) << c.why;
    }
    if (!c.reasonPart.empty()) {
      EXPECT_NE(meaning.reason.find(c.reasonPart), std::string::npos) << c.why;
    }
    if (!page.files.empty()) {
      EXPECT_EQ(ReasonFor(page.files.back(), page), c.lastFileReason) << c.why;
    }
  }
}

// What fails the run itself comes before anything the records say.
TEST(FailureReasonTest, PageFailuresComeFirst) {
  PageResult page;
  page.files = {Record(FileOutcome::kFailed, StoreCause::kDiskFull)};
  page.boundaryMismatch = true;
  EXPECT_EQ(MeaningOf(page).word, "boundary-mismatch");
  page.releaseError = ErrorReport{1, "s", "release"};
  EXPECT_EQ(MeaningOf(page).word, "release-error");
  page.error = ErrorReport{1, "s", "raised"};
  EXPECT_EQ(MeaningOf(page).status, 500);
  EXPECT_EQ(MeaningOf(page).word, "page-error");
  // A raised store failure is told by the failed file's cause, not by the
  // component's system-style text.
  page.error = ErrorReport{-20, "OpenFile", "CreateFile failed. GetLastError=206"};
  EXPECT_EQ(MeaningOf(page).word, "disk-full");
  EXPECT_EQ(MeaningOf(page).reason.find("CreateFile"), std::string::npos);
}

}  // namespace
}  // namespace parcelmoor
