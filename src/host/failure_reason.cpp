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

namespace {

// "; kept: a.txt, b.txt" or "; none of its files was kept": a failed
// upload of several files says plainly which of them the server has, so the
// sender knows what to send again. At most a few names, each short.
std::string KeptFilesNote(const PageResult& page) {
  constexpr size_t kNamesShown = 5;
  constexpr size_t kNameBytes = 100;
  if (page.files.size() < 2) return {};
  std::string names;
  size_t kept = 0;
  for (const FileRecord& file : page.files) {
    if (file.storedPath.empty()) continue;
    if (++kept > kNamesShown) continue;
    const std::string& name = file.fileName.empty() ? file.clientPath : file.fileName;
    names += (names.empty() ? "" : ", ") + name.substr(0, kNameBytes);
  }
  if (kept == 0) return "; none of its files was kept";
  if (kept > kNamesShown) names += " and " + std::to_string(kept - kNamesShown) + " more";
  return "; kept: " + names;
}

}  // namespace

FailureMeaning MeaningOf(const PageResult& page) {
  FailureMeaning meaning = VerdictOf(FactsOf(page));
  if (meaning.status / 100 != 2) meaning.reason += KeptFilesNote(page);
  return meaning;
}

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
