#include "upload/file_records_view.h"

namespace parcelmoor {

const char* FileOutcomeWord(FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::kStored: return "stored";
    case FileOutcome::kCut: return "cut";
    case FileOutcome::kDeleted: return "deleted";
    case FileOutcome::kFailed: return "failed";
    case FileOutcome::kNoFile: return "no file";
    case FileOutcome::kRefused: return "refused";
    case FileOutcome::kNotStored: break;
  }
  return "not stored";
}

std::shared_ptr<Collection> FileRecordsCollection(const std::vector<FileRecord>& records) {
  auto all = Collection::Create();
  for (const FileRecord& file : records) {
    auto one = Collection::Create();
    one->Add(Variant(file.fieldName), "Field");
    one->Add(Variant(file.clientPath), "ClientPath");
    one->Add(Variant(file.fileName), "FileName");
    one->Add(Variant(file.storedPath), "StoredPath");
    one->Add(Variant::Long(file.bytesReceived), "BytesReceived");
    one->Add(Variant::Long(file.bytesStored), "BytesStored");
    one->Add(Variant(std::string(FileOutcomeWord(file.outcome))), "Outcome");
    std::string reason;
    if (file.outcome == FileOutcome::kRefused) reason = file.refusalReason;
    if (file.outcome == FileOutcome::kFailed && file.error) reason = file.error->description();
    one->Add(Variant(std::move(reason)), "Reason");
    all->Add(Variant(one));
  }
  return all;
}

}  // namespace parcelmoor
