#include "host/failure_reason.h"

#include "upload/file_records_view.h"

namespace parcelmoor {
namespace {

RaisedFailure FailureOf(const ErrorReport& e) { return {e.number, e.description}; }

std::optional<RaisedFailure> FailureOf(const std::optional<ErrorReport>& e) {
  if (!e) return std::nullopt;
  return FailureOf(*e);
}

UploadFacts FactsOf(const PageResult& page) {
  return {.raised = FailureOf(page.error),
          .releaseError = FailureOf(page.releaseError),
          .scanFailure = page.scanFailure,
          .boundaryMismatch = page.boundaryMismatch,
          .parseFailure = FailureOf(page.parseFailure),
          .files = page.files};
}

}  // namespace

FailureMeaning MeaningOf(const ErrorReport& f) { return MeaningOfParseStop(FailureOf(f)); }

FailureMeaning MeaningOf(const PageResult& page) { return VerdictOf(FactsOf(page)); }

std::string ReasonFor(const FileRecord& file, const PageResult& page) {
  // The words a script reads in FileRecords, where the record alone tells.
  if (file.outcome == FileOutcome::kFailed) return MeaningOf(file.storeError).reason;
  if (file.outcome != FileOutcome::kNotStored || file.replacedByLater) return FileRecordReason(file);
  const auto index = static_cast<size_t>(&file - page.files.data());
  if (index < page.withdrawnFiles.size() && page.withdrawnFiles[index]) {
    return "the upload failed, so it was not handed to the application and was removed";
  }
  if (page.scanFailure && file.storedPath.empty()) {
    return "the upload could not be scanned for viruses, so it was not kept";
  }
  if (page.parseFailure && file.storedPath.empty()) return "the upload stopped: " + ParseStopOf(FactsOf(page)).reason;
  return FileRecordReason(file);
}

}  // namespace parcelmoor
