// The resumable uploads' requests that carry no bytes: OPTIONS, the checks
// before anything is read, creation, HEAD, DELETE, the report, and the
// bookkeeping of unfinished uploads (the per-client count, expiry).
#include "host/resumable_uploads.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

#include "host/host_part_policy.h"
#include "host/resumable_answers.h"
#include "runtime/ascii.h"
#include "storage/local_store.h"
#include "storage/resumable_files.h"

namespace parcelmoor {
namespace {

// The configured upload directory as a POSIX path.
std::string UploadRootOf(const UploadSettings& settings) {
  const std::string component = ComponentDirectoryOf(settings.uploadDirectory.value_or(""));
  return DirectoryOf(UploadDirectoryPrefix(component) + "x");
}

// Why an upload could not be created, from the system's error.
int CreationFailureStatus(int error) { return error == ENOSPC || error == EDQUOT ? 507 : 500; }

bool IsOffsetStream(std::string_view contentType) {
  return EqualsIgnoringAsciiCase(TrimAscii(contentType.substr(0, contentType.find(';'))),
                                 "application/offset+octet-stream");
}

// A name the store would refuse at the end ("." and "..", control bytes):
// refused before any byte is sent rather than after the last.
bool IsStorableName(std::string_view name) {
  if (name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 32 || c == 127) return false;
  return true;
}

// The body of a request that brings no bytes.
class NoBody final : public ResumableBody {
 public:
  size_t Read(uint8_t*, size_t) override { throw std::logic_error("no body to read"); }
  void Ended() override {}
};

// A file of an upload that has no state (a creation or a state write cut
// off by a crash) goes once it is older than any upload could live.
void RemoveIfOrphan(const std::string& path, const std::string& id, int64_t now, std::chrono::seconds expiry,
                    const std::string& directory) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || st.st_mtime + expiry.count() > now) return;
  if (::access(ResumablePathsOf(directory, id).info.c_str(), F_OK) == 0) return;
  ResumableData data(path, false);
  if (data.valid() && data.tryLock()) ::unlink(path.c_str());
}

}  // namespace

ResumableUploads::ResumableUploads(ResumableConfig config)
    : config_(std::move(config)),
      uploadRoot_(config_.spoolDirectory.empty() ? UploadRootOf(config_.settings) : config_.spoolDirectory),
      directory_(ResumableDirectoryOf(uploadRoot_)) {
  // Made now when it can be; a creation makes it again when it is missing.
  MakeResumableDirectory(uploadRoot_);
  Sweep(true);
  lastSweep_ = std::chrono::steady_clock::now();
}

std::optional<int64_t> ResumableUploads::MaxSizeOf(const UploadSettings& settings) {
  std::optional<int64_t> limit = settings.maxFileBytes;
  if (settings.maxRequestBytes) limit = std::min(limit.value_or(*settings.maxRequestBytes), *settings.maxRequestBytes);
  return limit;
}

PageAnswer ResumableUploads::Answer(int status, std::string_view text) const {
  return TusAnswer(status, text);
}

std::optional<PageAnswer> ResumableUploads::Screen(const ResumableRequest& r) const {
  if (r.method == "OPTIONS") return std::nullopt;
  if (r.tusResumable.value_or("") != kTusVersion) {
    PageAnswer refused = Answer(412, "This server speaks tus 1.0.0: send Tus-Resumable: 1.0.0.");
    refused.headers.emplace_back("tus-version", std::string(kTusVersion));
    return refused;
  }
  if (r.id.empty()) {
    if (r.method != "POST") return Answer(405, "Create an upload with POST; its URL takes the other methods.");
    if (r.uploadDeferLength) return Answer(400, "Uploads of a length not yet known are not accepted.");
    auto length = ParseDecimalHeader(r.uploadLength.value_or(""));
    if (!length) return Answer(400, "Upload-Length must be a decimal number of bytes.");
    if (auto limit = maxSize(); limit && *length > *limit) {
      return Answer(413, "The upload is larger than this server accepts (" + std::to_string(*limit) + " bytes).");
    }
    if (r.bodyLength > *length) return Answer(413, "The request carries more bytes than the upload's length.");
    if (r.bodyLength > 0 && !IsOffsetStream(r.contentType)) {
      return Answer(415, "Bytes sent with the creation need Content-Type: application/offset+octet-stream.");
    }
    return std::nullopt;
  }
  if (!IsResumableId(r.id)) return Answer(404, "There is no such upload.");
  if (r.method == "PATCH") {
    if (!IsOffsetStream(r.contentType)) return Answer(415, "A PATCH needs Content-Type: application/offset+octet-stream.");
    if (!ParseDecimalHeader(r.uploadOffset.value_or(""))) return Answer(400, "Upload-Offset must be a decimal number.");
    if (r.uploadChecksum) {
      auto checksum = ParseUploadChecksum(*r.uploadChecksum);
      if (!checksum) return Answer(400, "Upload-Checksum must be an algorithm and a Base64 digest.");
      if (checksum->algorithm != "sha1" && checksum->algorithm != "sha256") {
        return Answer(400, "Upload-Checksum names an algorithm this server does not use (sha1, sha256).");
      }
    }
    return std::nullopt;
  }
  if (r.method == "HEAD" || r.method == "GET" || r.method == "DELETE") return std::nullopt;
  PageAnswer refused = Answer(405, "An upload's URL takes HEAD, PATCH, DELETE and GET.");
  refused.headers.emplace_back("allow", "OPTIONS, HEAD, PATCH, DELETE, GET");
  return refused;
}

PageAnswer ResumableUploads::Options() const {
  PageAnswer answer = Answer(204, "");
  answer.headers.emplace_back("tus-version", std::string(kTusVersion));
  answer.headers.emplace_back("tus-extension", "creation,creation-with-upload,termination,checksum,expiration");
  answer.headers.emplace_back("tus-checksum-algorithm", std::string(kChecksumAlgorithms));
  if (auto limit = maxSize()) answer.headers.emplace_back("tus-max-size", std::to_string(*limit));
  return answer;
}

ResumableUploads::Found ResumableUploads::Find(const ResumableRequest& request) {
  Found found;
  found.paths = ResumablePathsOf(directory_, request.id);
  auto text = directory_.empty() ? std::nullopt : ReadSmallFile(found.paths.info, 1 << 16);
  auto state = text ? ParseResumableState(*text) : std::nullopt;
  if (!state) {
    found.status = 404;
    found.why = "There is no such upload.";
    return found;
  }
  found.state = std::move(*state);
  if (found.state.expires <= std::time(nullptr)) {
    Remove(request.id, found.state);
    found.status = 410;
    found.why = "The upload has expired and is gone.";
  } else if (found.state.credentials != CredentialsDigest(request.credentials)) {
    found.status = 403;
    found.why = "This upload was created with other credentials.";
  }
  return found;
}

bool ResumableUploads::Save(const std::string& id, const ResumableState& state) {
  return ReplaceFileAtomically(ResumablePathsOf(directory_, id).info, SerializeResumableState(state),
                               config_.settings.sync);
}

void ResumableUploads::Forget(const std::string& id, const ResumableState& state) {
  std::lock_guard lock(mutex_);
  digests_.erase(id);
  auto it = unfinishedByClient_.find(state.client);
  if (it != unfinishedByClient_.end() && --it->second <= 0) unfinishedByClient_.erase(it);
}

void ResumableUploads::Remove(const std::string& id, const ResumableState& state) {
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  ResumableData data(paths.data, false);
  // A request writing it keeps it: it sees the state gone, or renews it.
  if (data.valid() && !data.tryLock()) return;
  const bool unfinished = data.valid();
  ::unlink(paths.data.c_str());
  ::unlink(paths.report.c_str());
  if (::unlink(paths.info.c_str()) == 0 && unfinished) Forget(id, state);
}

void ResumableUploads::SweepIfDue() {
  const auto interval = std::min<std::chrono::seconds>(config_.expiry, std::chrono::seconds(60));
  {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSweep_ < interval) return;
    lastSweep_ = now;
  }
  Sweep(false);
}

// Removes every expired upload; with `counting`, counts the unfinished rest.
void ResumableUploads::Sweep(bool counting) {
  if (directory_.empty()) return;
  DIR* dir = ::opendir(directory_.c_str());
  if (!dir) return;
  const int64_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() > 32 && IsResumableId(name.substr(0, 32)) && !name.ends_with(".info")) {
      RemoveIfOrphan(directory_ + "/" + std::string(name), std::string(name.substr(0, 32)), now, config_.expiry,
                     directory_);
      continue;
    }
    if (!name.ends_with(".info") || !IsResumableId(name.substr(0, name.size() - 5))) continue;
    const std::string id(name.substr(0, name.size() - 5));
    const ResumablePaths paths = ResumablePathsOf(directory_, id);
    auto text = ReadSmallFile(paths.info, 1 << 16);
    auto state = text ? ParseResumableState(*text) : std::nullopt;
    if (!state) continue;
    if (state->expires <= now) {
      Remove(id, *state);
    } else if (counting && ::access(paths.data.c_str(), F_OK) == 0) {
      std::lock_guard lock(mutex_);
      ++unfinishedByClient_[state->client];
    }
  }
  ::closedir(dir);
}

ResumableOutcome ResumableUploads::Create(const ResumableRequest& request, const AuthorizationOutcome& authorized,
                                          ResumableBody* body, const ResumableHandoff& handoff) {
  SweepIfDue();
  const UploadSettings& settings = authorized.settings;
  const int64_t length = *ParseDecimalHeader(request.uploadLength.value_or(""));
  if (auto limit = MaxSizeOf(settings); limit && length > *limit) {
    return {Answer(413, "The upload is larger than this server accepts (" + std::to_string(*limit) + " bytes)."), {}, "too-large"};
  }
  auto metadata = ParseUploadMetadata(request.uploadMetadata.value_or(""));
  if (!metadata) return {Answer(400, "Upload-Metadata is not a list of keys and Base64 values."), {}, "bad-metadata"};
  std::string clientPath;
  for (const auto& [key, value] : *metadata) {
    if (key == "filename") clientPath = value;
  }
  if (StoredNameOf(clientPath).empty()) return {Answer(400, "Upload-Metadata needs a filename."), {}, "no-file-name"};
  if (!IsStorableName(StoredNameOf(clientPath))) {
    return {Answer(400, "The filename cannot name a file in the upload directory."), {}, "bad-file-name"};
  }
  // A name the page policy refuses is refused now, before any byte is sent.
  const PartDecision named = HostPartPolicy(settings).decide(
      PartHeaders{"file", StoredNameOf(clientPath), clientPath, "", true});
  if (named.action == PartDecision::Action::kRefuse) return {Answer(named.status, named.reason), {}, named.refusal};
  // Made again when missing: the upload directory may have appeared after
  // the start, or its private folder been removed while the server ran.
  if (MakeResumableDirectory(uploadRoot_).empty()) {
    return {Answer(CreationFailureStatus(errno), "The server cannot keep resumable uploads in its upload directory."),
            {}, "no-resumable-directory"};
  }
  {
    std::lock_guard lock(mutex_);
    if (unfinishedByClient_[request.client] >= config_.maxUnfinishedPerClient) {
      PageAnswer busy = Answer(429, "This client has as many unfinished uploads as it may; finish or delete one.");
      return {std::move(busy), {}, "client-unfinished-limit"};
    }
    ++unfinishedByClient_[request.client];
  }
  ResumableState state;
  state.length = length;
  state.expires = static_cast<int64_t>(std::time(nullptr)) + config_.expiry.count();
  state.client = request.client;
  state.credentials = CredentialsDigest(request.credentials);
  state.metadata = request.uploadMetadata.value_or("");
  state.directory = settings.uploadDirectory.value_or("");
  state.maxFileBytes = settings.maxFileBytes;
  state.forwardHeaders = authorized.forwardHeaders;
  const std::string id = NewResumableId();
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  if (id.empty() || !ResumableData(paths.data, true).valid() || !Save(id, state)) {
    const int failure = errno;
    ::unlink(paths.data.c_str());
    Forget(id, state);
    return {Answer(CreationFailureStatus(failure), "The upload could not be created on the server's disk."), {},
            "create-failed"};
  }
  // An empty upload is whole at once: no request would ever bring its last byte.
  NoBody none;
  if (length == 0) return Receive(id, std::move(state), request, none, handoff, 201);
  if (body && request.bodyLength > 0) return Receive(id, std::move(state), request, *body, handoff, 201);
  PageAnswer created = Answer(201, "");
  AddProgressHeaders(created, state);
  created.headers.emplace_back("location", id);  // relative to the endpoint: holds under a proxy's path prefix
  return {std::move(created), {}, ""};
}

PageAnswer ResumableUploads::Head(const ResumableRequest& request) {
  Found found = Find(request);
  if (found.status) return Answer(found.status, "");
  PageAnswer answer = Answer(200, "");
  answer.headers.emplace_back("upload-offset", std::to_string(found.state.offset));
  answer.headers.emplace_back("upload-length", std::to_string(found.state.length));
  if (!found.state.metadata.empty()) answer.headers.emplace_back("upload-metadata", found.state.metadata);
  answer.headers.emplace_back("upload-expires", HttpDateOf(found.state.expires));
  return answer;
}

PageAnswer ResumableUploads::Delete(const ResumableRequest& request) {
  Found found = Find(request);
  if (found.status) return Answer(found.status, found.why);
  ResumableData data(found.paths.data, false);
  if (data.valid() && !data.tryLock()) return Answer(423, "Another request is writing this upload; try again.");
  ::unlink(found.paths.data.c_str());
  ::unlink(found.paths.report.c_str());
  ::unlink(found.paths.info.c_str());
  if (data.valid()) Forget(request.id, found.state);
  return Answer(204, "");
}

PageAnswer ResumableUploads::Report(const ResumableRequest& request, const ResumableHandoff& handoff) {
  Found found = Find(request);
  if (found.status) return Answer(found.status, found.why);
  auto report = ReadSmallFile(found.paths.report, size_t{4} << 20);
  if (!report && found.state.finished()) {
    // Every byte came, but the server stopped before the file was stored
    // (a crash, a restart during a scan or a hand-off): it is stored now.
    // Under the lock, a completion that was running has ended.
    ResumableData data(found.paths.data, false);
    if (data.valid() && !data.tryLock()) return Answer(423, "The upload is being stored; ask again shortly.");
    report = ReadSmallFile(found.paths.report, size_t{4} << 20);
    if (!report && data.valid() && ::access(found.paths.data.c_str(), F_OK) == 0) {
      Complete(request.id, found.state, handoff, 200, "");
      report = ReadSmallFile(found.paths.report, size_t{4} << 20);
    }
    if (!report) return Answer(500, "The upload's last step was cut off; what became of its file is not known.");
  }
  if (!report) {
    PageAnswer pending = Answer(409, "The upload has not finished; its report comes with its last byte.");
    pending.headers.emplace_back("upload-offset", std::to_string(found.state.offset));
    return pending;
  }
  return ParseKeptReport(*report);
}

}  // namespace parcelmoor
