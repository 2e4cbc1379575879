// A file whose bytes arrived whole before the upload object saw it (a
// resumable upload's) goes through the same steps as a body's file part:
// the same item, the same decision and judgement of its first bytes, the
// same record and the same commit. Only the writing differs: the store
// takes the bytes where they are instead of receiving them.
#include "upload/upload_errors.h"
#include "upload/upload_file.h"

namespace parcelmoor {

int32_t UploadFile::storeFinishedFile(const FinishedFile& file) {
  return processOnce([this, &file] {
    takeFinishedFile(file);
    commitUpload();
  });
}

void UploadFile::takeFinishedFile(const FinishedFile& file) {
  countPart();
  auto item = FormItem::Create();
  item->nameFile(file.fieldName, file.clientPath);
  form()->Add(Variant(item), item->Name());
  part_.objCurrentItem = item;
  part_.partHasItem_ = true;
  part_.contentType_ = file.contentType;
  prepareNamedFile(*item, false);
  part_.finished_ = file.bytes;
  try {
    decidePart();
    if (part_.judging_) {
      const std::vector<uint8_t> first = file.bytes->firstBytes(PartPolicy::kJudgedBytes);
      holdContent(first);
      if (part_.judging_) judgeHeldContent();  // a file shorter than the judged bytes
    }
  } catch (...) {
    part_.finished_ = nullptr;
    throw;
  }
  part_.finished_ = nullptr;
  OnPartEnd();
}

void UploadFile::adoptFinishedFile(const PartDecision& decision) {
  FileRecord file;
  file.fieldName = part_.objCurrentItem->Name();
  file.clientPath = part_.clientPath_;
  file.fileName = part_.fileName_;
  const int64_t size = part_.finished_->size();
  part_.objCurrentItem->setFileSize(size);
  if (decision.maxFileBytes && size > *decision.maxFileBytes) {
    // Bytes that came by other means cannot be cut without a copy: a file
    // over its limit is given up, as one in delete mode is.
    file.outcome = FileOutcome::kDeleted;
    file.bytesReceived = size;
    writer_.recordWithoutFile(std::move(file));
    return;
  }
  try {
    writer_.adopt(settings_.strUploadDirectory, std::move(file), *part_.finished_);
  } catch (const RaisedError& e) {
    uploaderr::RaiseStoringFailed(e);
  }
}

}  // namespace parcelmoor
