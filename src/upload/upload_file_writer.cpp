// The single file an upload may have open, and the record of what it stored.
#include "upload/upload_file_writer.h"

#include <span>

#include "storage/local_store.h"
#include "upload/upload_errors.h"

namespace parcelmoor {
namespace {

// Smaller pieces, and a file's first 64 KiB, are hashed at once: handing
// them over would cost more than it saves. A burst of small uploads keeps
// every core busy anyway, and measured 5 % slower with them handed over.
constexpr size_t kHashBesideFrom = 16 * 1024;
constexpr int64_t kHashBesideAfter = 64 * 1024;

// Compared as addresses: `inner` may lie in any array.
bool Within(std::span<const uint8_t> inner, std::span<const uint8_t> outer) {
  const auto from = reinterpret_cast<uintptr_t>(inner.data());
  const auto outerFrom = reinterpret_cast<uintptr_t>(outer.data());
  return !outer.empty() && from >= outerFrom && from + inner.size() <= outerFrom + outer.size();
}

// The Windows code a script sees for a store failure: the one its system
// error maps to, else the one its cause stands for (a remote store's failure
// has no errno).
uint32_t WindowsCodeFor(const StoreError& error, bool creating) {
  using namespace modWin32;
  if (error.systemError != 0) return WindowsErrorFromErrno(error.systemError, creating);
  switch (error.cause) {
    case StoreCause::kNone: return 0;
    case StoreCause::kNoDirectory: return ERROR_PATH_NOT_FOUND;
    case StoreCause::kNotWritable:
    case StoreCause::kIsDirectory: return ERROR_ACCESS_DENIED;
    case StoreCause::kNameRefused: return ERROR_INVALID_NAME;
    case StoreCause::kNameTooLong: return ERROR_FILENAME_EXCED_RANGE;
    case StoreCause::kNameBusy: return ERROR_SHARING_VIOLATION;
    case StoreCause::kNameExists: return ERROR_FILE_EXISTS;
    case StoreCause::kDiskFull: return ERROR_DISK_FULL;
    case StoreCause::kTooManyFiles: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace

UploadFileWriter::UploadFileWriter() : store_(std::make_shared<LocalStore>()) {}

UploadFileWriter::~UploadFileWriter() {
  for (StoredFile& file : storedFiles_) {
    if (file.state == State::kWriting || file.state == State::kFinished) store_->abandon(file.ticket);
  }
}

void UploadFileWriter::setFileLayer(modWin32::FileLayer& layer) {
  store_ = std::make_shared<LocalStore>(LocalStore::Options{}, layer);
}

void UploadFileWriter::recordFailure(FileRecord& record, const RaisedError& e, const StoreError& cause) noexcept {
  MarkNoLongerStored(record);
  record.outcome = FileOutcome::kFailed;
  record.storeError = cause;
  try {
    record.error = e;
  } catch (...) {
    // The outcome says failed all the same.
  }
}

void UploadFileWriter::open(const std::string& directory, FileRecord file, std::optional<int64_t> limit,
                            bool replacesEarlier) {
  const std::string fileName = file.fileName;
  records_->push_back(std::move(file));
  openRecorded(directory, fileName, limit, replacesEarlier);
}

void UploadFileWriter::openRecorded(const std::string& directory, const std::string& fileName,
                                    std::optional<int64_t> limit, bool replacesEarlier) {
  const std::string key = directory + fileName;
  if (replacesEarlier) dropUncommitted(key);  // two files of one name in one upload: the later wins
  Store::Ticket ticket = 0;
  StoreFile begun;
  const StoreError error = store_->begin(directory, fileName, &ticket, &begun);
  if (error) {
    const RaisedError e = uploaderr::OpenFileFailed(WindowsCodeFor(error, true));
    recordFailure(currentRecord(), e, error);
    throw e;
  }
  keepEntry(key, ticket, begun, State::kWriting);
  current_ = storedFiles_.size() - 1;
  open_ = true;
  lFileSize = 0;
  bMaxSizeExceeded = false;
  limit_ = limit;
  FileRecord& record = currentRecord();
  record.identity = begun.identity;
  record.pendingPath = begun.pendingPath;
  if (checksums_) digest_.start();
}

void UploadFileWriter::keepEntry(const std::string& key, Store::Ticket ticket, const StoreFile& begun, State state) {
  try {
    storedFiles_.push_back(StoredFile{ticket, begun.finalPath, begun.identity, state, records_->size() - 1});
    uncommittedByName_[key] = storedFiles_.size() - 1;
  } catch (...) {
    // A file that cannot be recorded could never be cleaned up: give it up.
    store_->abandon(ticket);
    if (!storedFiles_.empty() && storedFiles_.back().ticket == ticket) storedFiles_.pop_back();
    throw;
  }
}

void UploadFileWriter::adopt(const std::string& directory, FileRecord file, FinishedBytes& bytes) {
  const std::string fileName = file.fileName;
  records_->push_back(std::move(file));
  const std::string key = directory + fileName;
  dropUncommitted(key);
  Store::Ticket ticket = 0;
  StoreFile begun;
  const StoreError error = bytes.handOver(*store_, directory, fileName, &ticket, &begun);
  if (error) {
    const RaisedError e = uploaderr::OpenFileFailed(WindowsCodeFor(error, true));
    recordFailure(currentRecord(), e, error);
    throw e;
  }
  keepEntry(key, ticket, begun, State::kFinished);
  FileRecord& record = currentRecord();
  record.identity = begun.identity;
  record.pendingPath = begun.pendingPath;
  record.storedPath = begun.finalPath;
  record.bytesReceived = record.bytesStored = bytes.size();
  record.outcome = FileOutcome::kStored;
  if (checksums_) record.sha256 = bytes.sha256();
}

void UploadFileWriter::finishChecksum(FileRecord& record) {
  if (checksums_) record.sha256 = digest_.finishHex();
}

void UploadFileWriter::addToChecksum(std::span<const uint8_t> bytes, int64_t before) noexcept {
  const bool stays = Within(bytes, readBuffers_[0]) || Within(bytes, readBuffers_[1]);
  if (stays && bytes.size() >= kHashBesideFrom && before >= kHashBesideAfter) {
    digest_.updateBeside(bytes);  // a store failure below gives the file up, digest and all
  } else {
    digest_.update(bytes);
  }
}

void UploadFileWriter::write(const uint8_t* bytes, int32_t count) {
  if (count <= 0) return;
  // Every byte offered counts, even the ones the limit keeps off the disk.
  const int64_t previous = lFileSize;
  lFileSize = previous + count;
  FileRecord& record = currentRecord();
  record.bytesReceived = lFileSize;
  int64_t n = count;
  if (limit_) {
    if (bMaxSizeExceeded) return;
    if (lFileSize > *limit_) {
      bMaxSizeExceeded = true;
      n = *limit_ - previous;
    }
    if (n <= 0) return;
  }
  const std::span<const uint8_t> kept(bytes, static_cast<size_t>(n));
  if (checksums_) addToChecksum(kept, previous);
  size_t written = 0;
  const StoreError error = store_->write(storedFiles_[current_].ticket, kept, &written);
  record.bytesStored += static_cast<int64_t>(written);
  if (!error) return;
  // A file short of bytes it received is never kept.
  abandon(true);
  const RaisedError e = uploaderr::FileIoFailed(WindowsCodeFor(error, false));
  recordFailure(record, e, error);
  throw e;
}

void UploadFileWriter::close() {
  StoredFile& file = storedFiles_[current_];
  open_ = false;
  file.state = State::kFinished;
  FileRecord& record = (*records_)[file.record];
  const StoreError error = store_->finish(file.ticket);
  if (!error) {
    record.outcome = FileOutcome::kStored;
    record.storedPath = file.finalPath;
    finishChecksum(record);
    return;
  }
  deleteEntry(file);
  recordFailure(record, uploaderr::FileIoFailed(WindowsCodeFor(error, false)), error);
}

void UploadFileWriter::abandon(bool deleteFile) noexcept {
  if (!open_) return;
  StoredFile& file = storedFiles_[current_];
  open_ = false;
  FileRecord& record = (*records_)[file.record];
  record.outcome = !overLimit() ? FileOutcome::kNotStored : deleteFile ? FileOutcome::kDeleted : FileOutcome::kCut;
  if (deleteFile) {
    record.bytesStored = 0;
    deleteEntry(file);
    return;
  }
  file.state = State::kFinished;
  record.storedPath = file.finalPath;
  try {
    finishChecksum(record);
  } catch (...) {
    // Kept without a checksum rather than not kept.
  }
  // Kept as far as it came; a failure to close it gives it up.
  if (store_->finish(file.ticket)) deleteEntry(file);
}

void UploadFileWriter::deleteEntry(StoredFile& file) noexcept {
  bool gone = true;
  if (file.state == State::kCommitted) {
    gone = store_->removeCommitted(file.finalPath, file.identity);
  } else if (file.state != State::kGone) {
    store_->abandon(file.ticket);  // what it misses, a sweep removes: never committed now
  }
  if (!gone) return;  // a committed file the removal missed: the clean-up tries again
  file.state = State::kGone;
  MarkNoLongerStored((*records_)[file.record]);
}

void UploadFileWriter::dropUncommitted(const std::string& key) noexcept {
  auto found = uncommittedByName_.find(key);
  if (found == uncommittedByName_.end()) return;
  StoredFile& file = storedFiles_[found->second];
  uncommittedByName_.erase(found);
  if (file.state != State::kWriting && file.state != State::kFinished) return;
  deleteEntry(file);
  FileRecord& record = (*records_)[file.record];
  record.outcome = FileOutcome::kNotStored;
  record.replacedByLater = true;
}

int UploadFileWriter::commitAll() {
  if (commitsHeld_) return 0;
  std::vector<Store::Ticket> tickets;
  std::vector<size_t> entries;
  for (size_t i = 0; i < storedFiles_.size(); ++i) {
    if (storedFiles_[i].state != State::kFinished) continue;
    tickets.push_back(storedFiles_[i].ticket);
    entries.push_back(i);
  }
  uncommittedByName_.clear();
  if (tickets.empty()) return 0;
  const std::vector<StoreError> results = store_->commit(tickets);
  int failed = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    StoredFile& file = storedFiles_[entries[i]];
    FileRecord& record = (*records_)[file.record];
    if (!results[i]) {
      file.state = State::kCommitted;
      file.finalPath = store_->finalPath(file.ticket);
      record.storedPath = file.finalPath;
      record.pendingPath.clear();
      continue;
    }
    ++failed;
    file.state = State::kGone;  // the store gave it up
    recordCommitFailure(record, results[i]);
  }
  return failed;
}

void UploadFileWriter::recordCommitFailure(FileRecord& record, const StoreError& error) noexcept {
  recordFailure(record, uploaderr::CommitFailed(WindowsCodeFor(error, false)), error);
  if (error.cause != StoreCause::kNameExists) return;
  // Not a fault of the store: the earlier file of the name was kept, as
  // the host asked.
  record.outcome = FileOutcome::kRefused;
  record.error.reset();
  try {
    record.refusal = "name-exists";
    record.refusalReason = "a file of that name exists";
    record.refusalStatus = 409;
  } catch (...) {
    // The outcome says refused all the same.
  }
}

void UploadFileWriter::discardUncommitted() noexcept {
  for (StoredFile& file : storedFiles_) {
    if (file.state == State::kFinished) deleteEntry(file);
  }
  uncommittedByName_.clear();
}

FileRecord* UploadFileWriter::discardUncommittedOf(size_t record) noexcept {
  for (StoredFile& file : storedFiles_) {
    if (file.record != record || file.state != State::kFinished) continue;
    deleteEntry(file);  // a stale uncommittedByName_ entry is skipped: its file is gone
    return &(*records_)[record];
  }
  return nullptr;
}

void UploadFileWriter::releaseStored(bool deleteThem) {
  if (deleteThem) {
    for (StoredFile& file : storedFiles_) deleteEntry(file);
  } else {
    commitAll();
  }
  storedFiles_.clear();
  uncommittedByName_.clear();
}

}  // namespace parcelmoor
