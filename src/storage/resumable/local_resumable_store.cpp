// Resumable uploads in the private folder's "resumable/" files.
#include "storage/resumable/local_resumable_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "storage/local_store.h"
#include "storage/resumable/held_local_upload.h"
#include "storage/resumable/resumable_files.h"

namespace parcelmoor {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kMostStateBytes = size_t{1} << 16;
constexpr size_t kMostReportBytes = size_t{4} << 20;
// The most uploads whose digest is carried at once; past it, the last
// byte is followed by a read of the file.
constexpr size_t kMaxCarriedDigests = 1024;

// The folder's sealing key: read, or made once (by whichever process
// links it first) when missing.
std::optional<std::string> LoadKey(const std::string& directory) {
  const std::string path = directory + "/key";
  if (auto key = ReadSmallFile(path, kKeyBytes); key && key->size() == kKeyBytes) return key;
  std::string fresh(kKeyBytes, '\0');
  if (::getrandom(fresh.data(), fresh.size(), 0) != static_cast<ssize_t>(fresh.size())) return std::nullopt;
  const std::string scratch = path + "." + NewWriterId();
  if (!ReplaceFileAtomically(scratch, fresh, true)) return std::nullopt;
  // link() never replaces: two processes starting at once agree on one key.
  const bool made = ::link(scratch.c_str(), path.c_str()) == 0;
  ::unlink(scratch.c_str());
  if (made) return fresh;
  auto key = ReadSmallFile(path, kKeyBytes);
  if (!key || key->size() != kKeyBytes) return std::nullopt;
  return key;
}

// A file of an upload that has no state (a creation or a state write cut
// off by a crash) goes once it is older than any upload could live.
void RemoveIfOrphan(const std::string& path, const ResumablePaths& paths, int64_t now, std::chrono::seconds age) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || st.st_mtime + age.count() > now) return;
  if (::access(paths.info.c_str(), F_OK) == 0) return;
  ResumableData data(path, false);
  if (data.valid() && data.tryLock()) ::unlink(path.c_str());
}

}  // namespace

LocalResumableStore::LocalResumableStore(std::string uploadRoot, LocalResumableOptions options)
    : uploadRoot_(std::move(uploadRoot)), directory_(ResumableDirectoryOf(uploadRoot_)), options_(options) {
  prepare();
}

StoreError LocalResumableStore::prepare() {
  // Made again when missing: the upload directory may have appeared after
  // the start, or its private folder been removed while the server ran.
  if (MakeResumableDirectory(uploadRoot_).empty()) return StoreErrorFromErrno(errno);
  std::optional<std::string> key = LoadKey(directory_);
  if (!key) return StoreErrorFromErrno(errno ? errno : EIO);
  std::lock_guard lock(mutex_);
  key_ = std::move(*key);
  return {};
}

std::string LocalResumableStore::seal(const ResumableState& state) const {
  std::lock_guard lock(mutex_);
  return SerializeResumableState(state, key_);
}

std::optional<ResumableState> LocalResumableStore::read(const std::string& infoPath) {
  auto text = ReadSmallFile(infoPath, kMostStateBytes);
  if (!text) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (key_.empty()) return std::nullopt;
  return ParseResumableState(*text, key_);
}

StoreError LocalResumableStore::create(const ResumableState& state, std::string* id) {
  if (StoreError error = prepare()) return error;
  *id = NewResumableId();
  if (id->empty()) return StoreErrorFromErrno(errno);
  const ResumablePaths paths = ResumablePathsOf(directory_, *id);
  if (!ResumableData(paths.data, true).valid() || !ReplaceFileAtomically(paths.info, seal(state), options_.sync)) {
    const StoreError error = StoreErrorFromErrno(errno);
    ::unlink(paths.data.c_str());
    return error;
  }
  return {};
}

std::optional<ResumableState> LocalResumableStore::peek(const std::string& id) {
  if (!IsResumableId(id)) return std::nullopt;
  return read(ResumablePathsOf(directory_, id).info);
}

std::unique_ptr<HeldUpload> LocalResumableStore::hold(const std::string& id, HoldFailure* why) {
  *why = HoldFailure::kMissing;
  if (!IsResumableId(id)) return nullptr;
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  ResumableData data(paths.data, false);
  if (!data.valid()) {
    if (::access(paths.info.c_str(), F_OK) == 0) *why = HoldFailure::kEnded;
    return nullptr;
  }
  if (!data.tryLock()) {
    *why = HoldFailure::kBusy;
    return nullptr;
  }
  // Under the lock, the state as the last holder saved it.
  std::optional<ResumableState> state = read(paths.info);
  if (!state) return nullptr;
  // Bytes past the saved offset were never acknowledged: they go.
  if (!data.truncate(state->offset)) return nullptr;
  *why = HoldFailure::kNone;
  return std::make_unique<HeldLocalUpload>(*this, id, paths, std::move(data), std::move(*state));
}

std::optional<std::string> LocalResumableStore::report(const std::string& id) {
  if (!IsResumableId(id)) return std::nullopt;
  return ReadSmallFile(ResumablePathsOf(directory_, id).report, kMostReportBytes);
}

void LocalResumableStore::forEach(const Visit& visit) {
  DIR* dir = ::opendir(directory_.c_str());
  if (!dir) return;
  const int64_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() < 32 || !IsResumableId(name.substr(0, 32))) continue;
    const std::string id(name.substr(0, 32));
    const ResumablePaths paths = ResumablePathsOf(directory_, id);
    if (name != id + ".info") {
      RemoveIfOrphan(directory_ + "/" + std::string(name), paths, now, options_.orphanAge);
      continue;
    }
    if (std::optional<ResumableState> state = read(paths.info)) {
      visit(id, *state, ::access(paths.data.c_str(), F_OK) == 0);
    }
  }
  ::closedir(dir);
}

bool LocalResumableStore::removeIfIdle(const std::string& id) {
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  ResumableData data(paths.data, false);
  // A request holding it keeps it: it sees the state gone, or renews it.
  if (data.valid() && !data.tryLock()) return false;
  ::unlink(paths.data.c_str());
  ::unlink(paths.report.c_str());
  return ::unlink(paths.info.c_str()) == 0 || errno == ENOENT;
}

std::unique_ptr<Sha256Stream> LocalResumableStore::takeDigest(const std::string& id, int64_t offset) {
  std::unique_ptr<Sha256Stream> digest;
  if (!options_.checksums) return digest;
  {
    std::lock_guard lock(mutex_);
    auto found = digests_.find(id);
    if (found != digests_.end()) {
      if (found->second.first == offset) digest = std::move(found->second.second);
      digests_.erase(found);
    }
  }
  if (!digest && offset == 0) {
    digest = std::make_unique<Sha256Stream>();
    if (!digest->start()) digest.reset();
  }
  return digest;
}

void LocalResumableStore::keepDigest(const std::string& id, int64_t offset, std::unique_ptr<Sha256Stream> digest) {
  if (!digest) return;
  std::lock_guard lock(mutex_);
  if (digests_.size() < kMaxCarriedDigests) digests_.emplace(id, std::make_pair(offset, std::move(digest)));
}

}  // namespace parcelmoor
