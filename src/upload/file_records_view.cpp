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
    case FileOutcome::kInfected: return "infected";
    case FileOutcome::kNotStored: break;
  }
  return "not stored";
}

std::string FileRecordReason(const FileRecord& file) {
  switch (file.outcome) {
    case FileOutcome::kStored: return {};
    case FileOutcome::kCut: return "it was cut at the size limit";
    case FileOutcome::kDeleted: return "it is larger than the size limit, so it was deleted";
    case FileOutcome::kFailed: return file.error ? file.error->description() : std::string();
    case FileOutcome::kNoFile: return "no file was chosen for this field";
    case FileOutcome::kRefused: return file.refusalReason.empty() ? "a file was refused" : file.refusalReason;
    case FileOutcome::kInfected:
      return file.refusalReason.empty() ? "the virus scanner found a signature in it" : file.refusalReason;
    case FileOutcome::kNotStored: break;
  }
  if (file.replacedByLater) return "a later file of the same name in this upload replaced it";
  if (!file.storedPath.empty()) return "the request ended inside it; what arrived was kept";
  return "the request ended before the upload was complete";
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
    one->Add(Variant(FileRecordReason(file)), "Reason");
    one->Add(Variant(file.sha256), "Checksum");
    all->Add(Variant(one));
  }
  return all;
}

std::shared_ptr<Collection> UploadOutcomeCollection(const FailureMeaning& meaning, int32_t filesStored) {
  auto outcome = Collection::Create();
  outcome->Add(Variant(static_cast<int32_t>(meaning.status)), "Status");
  outcome->Add(Variant(meaning.reason), "Reason");
  outcome->Add(Variant(meaning.word), "Word");
  outcome->Add(Variant(filesStored), "FilesStored");
  return outcome;
}

}  // namespace parcelmoor
