#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/ascii.h"
#include "runtime/dispatch.h"
#include "upload/upload_errors.h"
#include "upload/file_records_view.h"
#include "upload/upload_file.h"
#include "upload/upload_verdict.h"

namespace parcelmoor {

UploadFile::UploadFile() {
  try {
    settings_.lMaxFileSize = static_cast<int32_t>(std::pow(2.0, 31) - 1);
    settings_.bUploadAllFilesOrNone = kTrue;
    settings_.bDeleteMaxFile = kFalse;
    part_.objCurrentItem.reset();
  } catch (...) {
    // Construction always completes.
  }
}

UploadFile::~UploadFile() {
  try {
    release();
  } catch (...) {
    // A destructor never throws; callers that want the error call release().
  }
}

std::shared_ptr<Collection>& UploadFile::form() {
  if (!Form) Form = Collection::Create();
  return Form;
}

std::shared_ptr<Collection> UploadFile::get_Form() { return form(); }

void UploadFile::OnStartPage(const std::shared_ptr<ScriptingContext>& MyScriptingContext) {
  try {
    if (!MyScriptingContext) return;
    auto request = MyScriptingContext->Request();
    if (!request) return;
    body_.objRequest = std::move(request);
    auto response = MyScriptingContext->Response();
    if (!response) return;
    body_.objResponse = std::move(response);
    settings_.strUploadDirectory.clear();
  } catch (...) {
    // A context that cannot give its request or response leaves the
    // references as they were; the script learns of it at processing.
  }
}

void UploadFile::put_MaxFileSize(int32_t lMaximumFileSize) { setMaxFileSizeBytes(lMaximumFileSize); }

void UploadFile::setMaxFileSizeBytes(int64_t bytes) {
  settings_.lMaxFileSize = bytes;
  settings_.lMaxFileSizeSet = -1;
}

// A script cannot hold more than 32 bits: it is told the largest it can.
int32_t UploadFile::get_MaxFileSize() const {
  return static_cast<int32_t>(std::min<int64_t>(settings_.lMaxFileSize, std::numeric_limits<int32_t>::max()));
}

int32_t UploadFile::get_MaxTotalFieldSize() const {
  return static_cast<int32_t>(std::min<int64_t>(settings_.maxTotalFieldBytes_, std::numeric_limits<int32_t>::max()));
}

void UploadFile::put_UploadDirectory(const std::string& strDirectory) {
  try {
    settings_.strUploadDirectory = TrimAscii(strDirectory, " ");
    if (settings_.strUploadDirectory.empty()) return;
    if (settings_.strUploadDirectory.back() != '\\') settings_.strUploadDirectory += '\\';
  } catch (...) {
  }
}

int32_t UploadFile::storeUploadedFiles() {
  return processOnce([this] {
    // The parser (and its line buffer) lives only while the body is read.
    parser_ = std::make_unique<MultipartParser>(static_cast<MultipartConsumer&>(*this));
    readRequestBody();
    parser_.reset();
  });
}

int32_t UploadFile::processOnce(const std::function<void()>& intake) {
  try {
    if (body_.bProcessed) return 1;
    resetForm();
    if (TrimAscii(settings_.strUploadDirectory, " ").empty()) uploaderr::RaiseDirectoryEmpty();
    body_.bProcessed = kTrue;
    intake();
    return 1;
  } catch (...) {
    try {
      RaiseCurrentException();  // a raised error unchanged
    } catch (const RaisedError& e) {
      body_.lastRaised_ = e;  // UploadOutcome tells what it means
      throw;
    }
  }
}

void UploadFile::release() {
  if (body_.terminated_) return;
  body_.terminated_ = true;
  body_.objRequest.reset();
  body_.objResponse.reset();
  try {
    resetForm();
  } catch (...) {
    RaiseCurrentException();
  }
}

std::shared_ptr<Collection> UploadFile::get_UploadOutcome() const {
  const auto records = fileRecords();
  auto failure = [](const std::optional<RaisedError>& e) -> std::optional<RaisedFailure> {
    if (!e) return std::nullopt;
    return RaisedFailure{e->number(), e->description()};
  };
  // Before the release the records still show the files an upload that
  // did not arrive whole is about to lose; after it, they are final.
  const UploadFacts facts{.raised = failure(body_.lastRaised_),
                          .releaseError = std::nullopt,
                          .scanFailure = std::nullopt,
                          .boundaryMismatch = false,
                          .parseFailure = failure(body_.lastParseFailure_),
                          .files = *records,
                          .storedFilesGoAtRelease = !body_.terminated_ && settings_.bUploadAllFilesOrNone != kFalse};
  return UploadOutcomeCollection(VerdictOf(facts), FilesLeftStored(facts));
}

}  // namespace parcelmoor
