// Files in memory, under the same name rules and commit policies as the
// local directory store.
#include "storage/memory_store.h"

#include <limits.h>

#include <cerrno>

#include "storage/file_names.h"

namespace parcelmoor {

std::map<std::string, std::string> MemoryFiles::committed() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> out;
  for (const auto& [path, file] : committed_) out.emplace(path, file.bytes);
  return out;
}

size_t MemoryFiles::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

void MemoryFiles::put(const std::string& path, std::string bytes) {
  std::lock_guard lock(mutex_);
  committed_[path] = File{std::move(bytes), FileIdentity{0, nextInode_++, 1}};
}

MemoryStore::~MemoryStore() {
  for (Ticket t = 0; t < entries_.size(); ++t) abandon(t);
}

StoreError MemoryStore::begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                              StoreFile* file) {
  if (!IsSafeFileName(fileName)) return {StoreCause::kNameRefused, EINVAL};
  Entry entry;
  entry.finalPath = UploadDirectoryPrefix(directory) + fileName;
  if (fileName.size() > NAME_MAX || entry.finalPath.size() >= PATH_MAX) return {StoreCause::kNameTooLong, ENAMETOOLONG};
  std::lock_guard lock(files_->mutex_);
  if (onExists_ == OnExists::kReplace) {
    // One store may hold a name twice (a later file of it replaces the
    // earlier); another may not while it is held.
    MemoryFiles::Holder& holder = files_->busy_[entry.finalPath];
    if (holder.files > 0 && holder.store != this) return {StoreCause::kNameBusy, EWOULDBLOCK};
    holder.store = this;
    ++holder.files;
    entry.holdsName = true;
  }
  entry.identity = FileIdentity{0, files_->nextInode_++, 1};
  ++files_->pending_;
  entries_.push_back(std::move(entry));
  *ticket = entries_.size() - 1;
  *file = StoreFile{entries_.back().finalPath, "", entries_.back().identity};
  return {};
}

StoreError MemoryStore::write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) {
  entries_[ticket].bytes.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  *written = bytes.size();
  return {};
}

StoreError MemoryStore::finish(Ticket ticket) {
  entries_[ticket].state = State::kFinished;
  return {};
}

void MemoryStore::release(Entry& entry) noexcept {
  if (!entry.holdsName) return;
  entry.holdsName = false;
  auto found = files_->busy_.find(entry.finalPath);
  if (found != files_->busy_.end() && --found->second.files <= 0) files_->busy_.erase(found);
}

bool MemoryStore::abandon(Ticket ticket) noexcept {
  Entry& entry = entries_[ticket];
  if (entry.state != State::kWriting && entry.state != State::kFinished) return true;
  std::lock_guard lock(files_->mutex_);
  release(entry);
  --files_->pending_;
  entry.state = State::kGone;
  entry.bytes = std::string();
  return true;
}

std::vector<StoreError> MemoryStore::commit(std::span<const Ticket> tickets) {
  std::vector<StoreError> results(tickets.size());
  std::lock_guard lock(files_->mutex_);
  for (size_t i = 0; i < tickets.size(); ++i) {
    Entry& entry = entries_[tickets[i]];
    if (entry.state != State::kFinished) {
      if (entry.state != State::kCommitted) results[i] = {StoreCause::kIo, EINVAL};
      continue;
    }
    release(entry);
    results[i] = giveName(entry);
    --files_->pending_;
    entry.state = results[i] ? State::kGone : State::kCommitted;
    entry.bytes = std::string();
  }
  return results;
}

StoreError MemoryStore::giveName(Entry& entry) {
  auto& committed = files_->committed_;
  if (onExists_ == OnExists::kRefuse && committed.count(entry.finalPath)) return {StoreCause::kNameExists, EEXIST};
  if (onExists_ == OnExists::kKeepBoth) {
    int n = 0;
    while (committed.count(n == 0 ? entry.finalPath : NumberedName(entry.finalPath, n))) {
      if (++n > kKeepBothTries) return {StoreCause::kNameExists, EEXIST};
    }
    if (n > 0) entry.finalPath = NumberedName(entry.finalPath, n);
  }
  committed[entry.finalPath] = MemoryFiles::File{std::move(entry.bytes), entry.identity};
  return {};
}

bool MemoryStore::removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept {
  std::lock_guard lock(files_->mutex_);
  auto found = files_->committed_.find(finalPath);
  if (found == files_->committed_.end()) return true;
  if (!(found->second.identity == identity)) return false;
  files_->committed_.erase(found);
  return true;
}

}  // namespace parcelmoor
