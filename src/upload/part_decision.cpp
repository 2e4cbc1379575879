// The one point where a part's fate is decided: once its headers are
// complete, the host's policy (or, without one, the script's size limits)
// answers store, skip or refuse, and the part's file is opened only then.
#include <string>
#include <string_view>

#include "runtime/ascii.h"
#include "upload/upload_errors.h"
#include "upload/limit_policy.h"
#include "upload/upload_file.h"

namespace parcelmoor {

void UploadFile::prepareFilePart(std::string_view strCDHeader, bool merged) {
  // A file part merged into an earlier item of the same name is still stored
  // under its own file name, read from its own header line; the item keeps the
  // name and size of its first file and gains this part's client path.
  std::shared_ptr<FormItem> ownFile = part_.objCurrentItem;
  if (merged) {
    ownFile = FormItem::Create();
    ownFile->extractCDHeader(strCDHeader, Collection::Create());
  }
  prepareNamedFile(*ownFile, merged);
}

void UploadFile::prepareNamedFile(const FormItem& ownFile, bool merged) {
  part_.fileIsItemsOwn_ = !merged;
  part_.objCurrentItem->setValue(ownFile.getCompleteFilePath());
  part_.fileName_ = ownFile.getFileName();
  part_.clientPath_ = ownFile.getCompleteFilePath();
  if (TrimAscii(part_.fileName_, " ").empty() && settings_.skipEmptyFileInputs_ == 0) {
    uploaderr::RaiseNoFileUploaded(part_.objCurrentItem->Name());
  }
  part_.namesFile_ = true;
}

PartHeaders UploadFile::currentHeaders(std::string& fieldName) const {
  PartHeaders headers;
  fieldName = part_.objCurrentItem->Name();
  headers.fieldName = fieldName;
  headers.contentType = part_.contentType_;
  headers.namesFile = part_.namesFile_;
  if (part_.namesFile_) {
    headers.fileName = part_.fileName_;
    headers.clientPath = part_.clientPath_;
  }
  return headers;
}

PartDecision UploadFile::askPolicy() {
  std::string fieldName;
  const PartHeaders headers = currentHeaders(fieldName);
  if (partPolicy_) return partPolicy_->decide(headers);
  std::optional<int64_t> limit;
  if (settings_.lMaxFileSizeSet != 0) limit = settings_.lMaxFileSize;
  return LimitPolicy(limit, settings_.bDeleteMaxFile != 0).decide(headers);
}

void UploadFile::decidePart() {
  part_.decided_ = true;
  // A file input sent without a file stores nothing and asks nobody.
  if (part_.namesFile_ && TrimAscii(part_.fileName_, " ").empty()) {
    PartDecision noFile;
    noFile.action = PartDecision::Action::kSkip;
    recordFileWithoutFile(noFile);
    part_.dropContent_ = true;
    return;
  }
  // Without a host's policy a plain field is always kept: nothing to ask.
  if (!part_.namesFile_ && !partPolicy_) return;
  const PartDecision decision = askPolicy();
  part_.dropContent_ = decision.action != PartDecision::Action::kStore;
  if (!part_.namesFile_) return;
  if (decision.action == PartDecision::Action::kStore && partPolicy_ && partPolicy_->judgesContent()) {
    // Nothing is stored until the file's first bytes are judged.
    part_.judging_ = true;
    part_.judgedDecision_ = decision;
    part_.heldCount_ = 0;
  } else if (decision.action == PartDecision::Action::kStore) {
    openFilePart(decision);
  } else {
    recordFileWithoutFile(decision);
  }
}

void UploadFile::openFilePart(const PartDecision& decision) {
  if (part_.finished_) return adoptFinishedFile(decision);
  part_.lInFilePart = 1;
  part_.deleteOverLimit_ = decision.deleteOverLimit;
  try {
    FileRecord file;
    file.fieldName = part_.objCurrentItem->Name();
    file.clientPath = part_.clientPath_;
    file.fileName = part_.fileName_;
    writer_.open(settings_.strUploadDirectory, std::move(file), decision.maxFileBytes,
                 decision.replacesEarlierOfName);
  } catch (const RaisedError& e) {
    part_.lInFilePart = 0;
    uploaderr::RaiseStoringFailed(e);
  }
}

void UploadFile::recordFileWithoutFile(const PartDecision& decision) {
  FileRecord file;
  file.fieldName = part_.objCurrentItem->Name();
  file.clientPath = part_.clientPath_;
  file.fileName = part_.fileName_;
  if (decision.action == PartDecision::Action::kRefuse) {
    file.outcome = FileOutcome::kRefused;
    file.refusal = decision.refusal;
    file.refusalReason = decision.reason;
    file.refusalStatus = decision.status;
  } else {
    file.outcome = FileOutcome::kNoFile;
  }
  writer_.recordWithoutFile(std::move(file));
}

void UploadFile::decidePendingFilePart() {
  try {
    if (part_.partHasItem_ && !part_.decided_ && part_.namesFile_ && !body_.bAbort) decidePart();
    // Held bytes are judged as at the part's end, so that a file the body
    // stopped inside is recorded (and given up) as one that was open.
    if (part_.judging_) judgeHeldContent();
  } catch (...) {
    if (body_.bAbort) return;
    body_.lastParseFailure_ = CurrentExceptionAsRaisedError();
    body_.bAbort = kTrue;
  }
}

}  // namespace parcelmoor
