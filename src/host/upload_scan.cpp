#include "host/upload_scan.h"

namespace parcelmoor {

std::optional<std::string> ScanHeldFiles(UploadFile& upload, const ClamdTarget& target) {
  const std::shared_ptr<const std::vector<FileRecord>> records = upload.fileRecords();
  // By index: giving one file up changes its record, never the vector.
  for (size_t i = 0; i < records->size(); ++i) {
    const std::string& waiting = (*records)[i].pendingPath;
    if (waiting.empty()) continue;
    const ScanVerdict verdict = ScanFileWithClamd(target, waiting);
    if (verdict.kind == ScanVerdict::Kind::kClean) continue;
    if (verdict.kind == ScanVerdict::Kind::kNoVerdict) {
      // Never an unscanned file: the clean ones go too.
      upload.discardHeld();
      return verdict.detail;
    }
    if (FileRecord* infected = upload.discardHeldFile(i)) {
      infected->outcome = FileOutcome::kInfected;
      infected->refusal = "infected";
      infected->refusalReason = "the virus scanner found " + verdict.detail + " in it, so it was not stored";
      infected->refusalStatus = 422;
    }
  }
  return std::nullopt;
}

}  // namespace parcelmoor
