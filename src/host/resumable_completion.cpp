// A finished resumable upload, stored as the one file of a multipart upload.
#include "host/resumable_completion.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "host/host_part_policy.h"
#include "runtime/ascii.h"
#include "host/page_runner.h"
#include "storage/s3_names.h"
#include "storage/mod_win32.h"
#include "storage/posix_io.h"
#include "storage/sha256_stream.h"
#include "upload/upload_errors.h"

namespace parcelmoor {
namespace {

// The field name a multipart upload from the page gives its file.
constexpr std::string_view kFieldName = "file";
constexpr size_t kReadChunk = size_t{1} << 20;

// One read of the file for what completion needs from its bytes: the first
// ones for the type check, and the SHA-256 of them all (the bytes arrived
// over many requests, perhaps many server runs, so no digest carried
// through them). False when the file cannot be read.
bool LookAt(const std::string& path, bool wantsChecksum, std::vector<uint8_t>& firstBytes, std::string& sha256) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  Sha256Stream digest;
  if (wantsChecksum) digest.start();
  auto chunk = std::make_unique<uint8_t[]>(kReadChunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk.get(), kReadChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    const size_t room = PartPolicy::kJudgedBytes - std::min(firstBytes.size(), PartPolicy::kJudgedBytes);
    firstBytes.insert(firstBytes.end(), chunk.get(), chunk.get() + std::min(room, static_cast<size_t>(n)));
    if (!wantsChecksum) {
      if (firstBytes.size() >= PartPolicy::kJudgedBytes) break;
      continue;
    }
    digest.update(std::span<const uint8_t>(chunk.get(), static_cast<size_t>(n)));
  }
  if (wantsChecksum) sha256 = digest.finishHex();
  return true;
}

void RecordRefusal(FileRecord& record, const PartDecision& decision) {
  MarkNoLongerStored(record);
  record.outcome = FileOutcome::kRefused;
  record.refusal = decision.refusal;
  record.refusalReason = decision.reason;
  record.refusalStatus = decision.status;
}

// As the file writer records a store's failure: the script's error and the
// store's typed cause, nothing stored; a name taken under --on-exists
// refuse is a refusal (409), not a failure.
void RecordStoreFailure(FileRecord& record, const StoreError& error, bool committing) {
  MarkNoLongerStored(record);
  if (error.cause == StoreCause::kNameExists) {
    record.outcome = FileOutcome::kRefused;
    record.refusal = "name-exists";
    record.refusalReason = "a file of that name exists";
    record.refusalStatus = 409;
    return;
  }
  record.outcome = FileOutcome::kFailed;
  record.storeError = error;
  const uint32_t code =
      error.systemError ? modWin32::WindowsErrorFromErrno(error.systemError, !committing) : modWin32::ERROR_GEN_FAILURE;
  record.error = committing ? uploaderr::CommitFailed(code) : uploaderr::OpenFileFailed(code);
}

// The part policy's word on the file: its name first, then its first bytes.
PartDecision Decide(const ResumableFile& file, const FileRecord& record, const UploadSettings& settings,
                    const std::vector<uint8_t>& firstBytes) {
  HostPartPolicy policy(settings);
  const PartHeaders headers{kFieldName, record.fileName, record.clientPath, file.contentType, true};
  PartDecision decision = policy.decide(headers);
  if (decision.action == PartDecision::Action::kStore && policy.judgesContent()) {
    PartDecision judged = policy.judgeContent(headers, firstBytes);
    if (judged.action != PartDecision::Action::kStore) decision = judged;
  }
  return decision;
}

// An application handed the report may run elsewhere: paths from the root.
void MakePathsAbsolute(FileRecord& record) {
  for (std::string* path : {&record.storedPath, &record.pendingPath}) {
    if (path->empty() || IsS3Url(*path)) continue;
    std::error_code failed;
    std::filesystem::path absolute = std::filesystem::absolute(*path, failed);
    if (!failed) *path = absolute.lexically_normal().string();
  }
}

// Scans the waiting file; false when it is not to be kept (its record, or
// the page's scan failure, says why).
bool PassesScan(const ClamdTarget& target, PageResult& page) {
  FileRecord& record = page.files.front();
  const ScanVerdict verdict = ScanFileWithClamd(target, record.pendingPath);
  if (verdict.kind == ScanVerdict::Kind::kClean) return true;
  MarkNoLongerStored(record);
  if (verdict.kind == ScanVerdict::Kind::kNoVerdict) {
    page.scanFailure = verdict.detail;
    return false;
  }
  record.outcome = FileOutcome::kInfected;
  record.refusal = "infected";
  record.refusalReason = "the virus scanner found " + verdict.detail + " in it, so it was not stored";
  record.refusalStatus = 422;
  return false;
}

// Gives the waiting file to the store and commits it there; the record says
// where it went or why it did not.
void StoreAndCommit(const ResumableFile& file, const UploadSettings& settings, FileRecord& record) {
  // A local store takes the waiting file as it is; an object store gets a
  // copy of its bytes.
  const std::shared_ptr<Store> owned = StoreFor(settings);
  Store& store = *owned;
  Store::Ticket ticket = 0;
  StoreFile begun;
  const std::string directory = ComponentDirectoryOf(settings.uploadDirectory.value_or(""));
  if (StoreError error = store.beginFrom(directory, record.fileName, file.dataPath, &ticket, &begun)) {
    RecordStoreFailure(record, error, false);
    return;
  }
  record.identity = begun.identity;
  const std::vector<StoreError> committed = store.commit(std::span<const Store::Ticket>(&ticket, 1));
  if (committed.front()) {
    RecordStoreFailure(record, committed.front(), true);
    return;
  }
  record.storedPath = store.finalPath(ticket);
  record.pendingPath.clear();
  MakePathsAbsolute(record);
}

}  // namespace

std::string ComponentDirectoryOf(const std::string& uploadDirectory) {
  std::string directory(TrimAscii(uploadDirectory, " "));
  if (!directory.empty() && directory.back() != '\\') directory += '\\';
  return directory;
}

std::string StoredNameOf(const std::string& clientPath) {
  const char separator = clientPath.find('\\') != std::string::npos ? '\\' : '/';
  return clientPath.substr(clientPath.rfind(separator) + 1);
}

UploadAnswer CompleteResumableUpload(const ResumableFile& file, const UploadSettings& settings,
                                     const ResumableHandoff& handoff) {
  PageResult page;
  page.result = 0;
  FileRecord& record = page.files.emplace_back();
  record.fieldName = kFieldName;
  record.clientPath = file.clientPath;
  record.fileName = StoredNameOf(file.clientPath);
  record.bytesReceived = file.length;
  const BodyOutcome body{file.length, "", ""};
  auto answer = [&] {
    ::unlink(file.dataPath.c_str());  // whatever the store did not take
    return AnswerUpload(page, body, true);
  };

  std::vector<uint8_t> firstBytes;
  const bool known = !file.sha256.empty() || !settings.checksums;
  if (known) record.sha256 = file.sha256;
  if (!LookAt(file.dataPath, !known, firstBytes, record.sha256)) {
    RecordStoreFailure(record, StoreErrorFromErrno(errno), false);
    return answer();
  }
  const PartDecision decision = Decide(file, record, settings, firstBytes);
  if (decision.action != PartDecision::Action::kStore) {
    if (decision.action == PartDecision::Action::kRefuse) RecordRefusal(record, decision);
    else record.outcome = FileOutcome::kNoFile;
    return answer();
  }

  // Until its commit the file waits where it is, so that a server stopped
  // during the scan or the hand-off leaves it whole for the next one.
  const std::string directory = ComponentDirectoryOf(settings.uploadDirectory.value_or(""));
  record.outcome = FileOutcome::kStored;
  record.storedPath = UploadDirectoryPrefix(directory) + record.fileName;
  record.pendingPath = file.dataPath;
  record.bytesStored = file.length;
  MakePathsAbsolute(record);
  if (settings.scan && !PassesScan(*settings.scan, page)) return answer();

  std::optional<UploadAnswer> decided;
  if (handoff.call) {
    UploadAnswer own = AnswerUpload(page, body, true);
    bool accepted = false;
    HandoffRequest client = handoff.client;
    client.reportJson = PageResultToJson(page);
    own.answer = HandOffUpload(page, std::move(own.answer), client, handoff.call, own.note, accepted);
    decided = std::move(own);
    if (!accepted) {
      decided->log.filesStored = FilesTakenByApplication(page);
      ::unlink(file.dataPath.c_str());
      MarkNoLongerStored(record);
      return std::move(*decided);
    }
  }
  StoreAndCommit(file, settings, record);
  if (decided && !record.storedPath.empty()) return std::move(*decided);
  return answer();
}

}  // namespace parcelmoor
