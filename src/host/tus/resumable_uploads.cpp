// The resumable uploads' requests that carry no bytes: OPTIONS, the checks
// before anything is read, creation, HEAD, DELETE, the report, and the
// bookkeeping of unfinished uploads (the counts, expiry).
#include "host/tus/resumable_uploads.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "form/form_item.h"
#include "host/content_type.h"
#include "host/host_part_policy.h"
#include "host/tus/resumable_answers.h"
#include "host/tus/tus_headers.h"
#include "runtime/ascii.h"
#include "storage/store_for_location.h"

namespace parcelmoor {
namespace {

// The longest file name a file system takes (NAME_MAX), in bytes.
constexpr size_t kLongestName = 255;

bool IsOffsetStream(std::string_view contentType) {
  return EqualsIgnoringAsciiCase(TrimAscii(contentType.substr(0, contentType.find(';'))),
                                 "application/offset+octet-stream");
}

// The name a client path is stored under: cut as a multipart file's is.
std::string FileNameOf(const std::string& clientPath) {
  FormItem item;
  item.nameFile("file", clientPath);
  return item.getFileName();
}

// Why no store could take `name`, or "" when one could: refused before any
// byte is sent rather than after the last.
std::string WhyNotStorable(std::string_view name) {
  if (name.empty()) return "Upload-Metadata needs a filename.";
  if (name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return "The filename cannot name a file in the upload directory.";
  }
  if (name.size() > kLongestName) return "The filename is longer than 255 bytes.";
  for (unsigned char c : name)
    if (c < 32 || c == 127) return "The filename holds a control character.";
  return {};
}

// The body of a request that brings no bytes.
class NoBody final : public ResumableBody {
 public:
  size_t Read(uint8_t*, size_t) override { throw std::logic_error("no body to read"); }
  void Ended() override {}
};

}  // namespace

std::shared_ptr<ResumableStore> ResumableUploads::StoreFor(const ResumableConfig& config) {
  return ResumableStoreForLocation(config.settings.uploadDirectory.value_or(""), config.spoolDirectory,
                                   LocalResumableOptions{config.settings.sync, config.settings.checksums, config.expiry});
}

ResumableUploads::ResumableUploads(ResumableConfig config, std::shared_ptr<ResumableStore> store)
    : config_(std::move(config)),
      store_(std::move(store)),
      unfinished_(config_.maxUnfinishedPerClient, config_.maxUnfinished) {
  Sweep(true);
  lastSweep_ = std::chrono::steady_clock::now();
}

std::optional<int64_t> ResumableUploads::MaxSizeOf(const UploadSettings& settings) {
  std::optional<int64_t> limit = settings.maxFileBytes;
  if (settings.maxRequestBytes) limit = std::min(limit.value_or(*settings.maxRequestBytes), *settings.maxRequestBytes);
  return limit;
}

std::optional<PageAnswer> ResumableUploads::Screen(const ResumableRequest& r) const {
  if (r.method == "OPTIONS") return std::nullopt;
  if (r.tusResumable.value_or("") != kTusVersion) {
    PageAnswer refused = TusAnswer(412, "This server speaks tus 1.0.0: send Tus-Resumable: 1.0.0.");
    refused.headers.emplace_back("tus-version", std::string(kTusVersion));
    return refused;
  }
  if (r.id.empty()) {
    if (r.method != "POST") return TusAnswer(405, "Create an upload with POST; its URL takes the other methods.");
    if (r.uploadDeferLength) return TusAnswer(400, "Uploads of a length not yet known are not accepted.");
    auto length = ParseDecimalHeader(r.uploadLength.value_or(""));
    if (!length) return TusAnswer(400, "Upload-Length must be a decimal number of bytes.");
    if (auto limit = maxSize(); limit && *length > *limit) {
      return TusAnswer(413, "The upload is larger than this server accepts (" + std::to_string(*limit) + " bytes).");
    }
    if (r.bodyLength > *length) return TusAnswer(413, "The request carries more bytes than the upload's length.");
    if (r.bodyLength > 0 && !IsOffsetStream(r.contentType)) {
      return TusAnswer(415, "Bytes sent with the creation need Content-Type: application/offset+octet-stream.");
    }
    return std::nullopt;
  }
  if (!IsResumableId(r.id)) return TusAnswer(404, "There is no such upload.");
  if (r.method == "PATCH") {
    if (!IsOffsetStream(r.contentType)) return TusAnswer(415, "A PATCH needs Content-Type: application/offset+octet-stream.");
    if (!ParseDecimalHeader(r.uploadOffset.value_or(""))) return TusAnswer(400, "Upload-Offset must be a decimal number.");
    if (r.uploadChecksum) {
      auto checksum = ParseUploadChecksum(*r.uploadChecksum);
      if (!checksum) return TusAnswer(400, "Upload-Checksum must be an algorithm and a Base64 digest.");
      if (checksum->algorithm != "sha1" && checksum->algorithm != "sha256") {
        return TusAnswer(400, "Upload-Checksum names an algorithm this server does not use (sha1, sha256).");
      }
    }
    return std::nullopt;
  }
  if (r.method == "HEAD" || r.method == "GET" || r.method == "DELETE") return std::nullopt;
  PageAnswer refused = TusAnswer(405, "An upload's URL takes HEAD, PATCH, DELETE and GET.");
  refused.headers.emplace_back("allow", "OPTIONS, HEAD, PATCH, DELETE, GET");
  return refused;
}

PageAnswer ResumableUploads::Options() const {
  PageAnswer answer = TusAnswer(204, "");
  answer.headers.emplace_back("tus-version", std::string(kTusVersion));
  answer.headers.emplace_back("tus-extension", "creation,creation-with-upload,termination,checksum,expiration");
  answer.headers.emplace_back("tus-checksum-algorithm", std::string(kChecksumAlgorithms));
  if (auto limit = maxSize()) answer.headers.emplace_back("tus-max-size", std::to_string(*limit));
  return answer;
}

ResumableUploads::Found ResumableUploads::Find(const ResumableRequest& request) {
  Found found;
  std::optional<ResumableState> state = store_->peek(request.id);
  if (!state) {
    found.status = 404;
    found.why = "There is no such upload.";
    return found;
  }
  found.state = std::move(*state);
  if (found.state.expires <= std::time(nullptr)) {
    if (store_->removeIfIdle(request.id) && !found.state.finished()) {
      unfinished_.release(found.state.client);
      expired_.fetch_add(1, std::memory_order_relaxed);
    }
    found.status = 410;
    found.why = "The upload has expired and is gone.";
  } else if (found.state.credentials != CredentialsDigest(request.credentials)) {
    found.status = 403;
    found.why = "This upload was created with other credentials.";
  }
  return found;
}

void ResumableUploads::SweepIfDue() {
  const auto interval = std::min<std::chrono::seconds>(config_.expiry, std::chrono::seconds(60));
  {
    std::lock_guard lock(sweepMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSweep_ < interval) return;
    lastSweep_ = now;
  }
  Sweep(false);
}

// Removes every expired upload; with `counting`, counts the unfinished rest.
void ResumableUploads::Sweep(bool counting) {
  const int64_t now = std::time(nullptr);
  store_->forEach([&](const std::string& id, const ResumableState& state, bool unfinished) {
    if (state.expires <= now) {
      if (!store_->removeIfIdle(id) || !unfinished) return;
      expired_.fetch_add(1, std::memory_order_relaxed);
      if (!counting) unfinished_.release(state.client);
    } else if (counting && unfinished) {
      unfinished_.count(state.client);
    }
  });
}

std::optional<ResumableOutcome> ResumableUploads::JudgeCreation(const ResumableRequest& request,
                                                                const UploadSettings& settings) const {
  auto refuse = [](int status, std::string why, std::string note) {
    return ResumableOutcome{TusAnswer(status, why), {}, std::move(note)};
  };
  const int64_t length = *ParseDecimalHeader(request.uploadLength.value_or(""));
  if (auto limit = MaxSizeOf(settings); limit && length > *limit) {
    return refuse(413, "The upload is larger than this server accepts (" + std::to_string(*limit) + " bytes).",
                  "too-large");
  }
  auto metadata = ParseUploadMetadata(request.uploadMetadata.value_or(""));
  if (!metadata) return refuse(400, "Upload-Metadata is not a list of keys and Base64 values.", "bad-metadata");
  const std::string clientPath = MetadataValue(request.uploadMetadata.value_or(""), "filename");
  const std::string name = FileNameOf(clientPath);
  if (std::string why = WhyNotStorable(name); !why.empty()) return refuse(400, why, "bad-file-name");
  // The page policy's word on the name, now rather than after the last byte.
  const PartDecision named = HostPartPolicy(settings).decide(PartHeaders{"file", name, clientPath, "", true});
  if (named.action == PartDecision::Action::kRefuse) return refuse(named.status, named.reason, named.refusal);
  // A declared type outside the allowed ones is refused now; an allowed
  // one is no promise: the bytes are judged at the end all the same.
  const std::string declared = MetadataValue(request.uploadMetadata.value_or(""), "filetype");
  if (!settings.allowedTypes.empty() && !declared.empty() && !TypeAllowed(declared, settings.allowedTypes)) {
    return refuse(415, "Files of type " + declared + " are not accepted here.", "type-not-allowed");
  }
  return std::nullopt;
}

ResumableOutcome ResumableUploads::Create(const ResumableRequest& request, const AuthorizationOutcome& authorized,
                                          ResumableBody* body, const ResumableHandoff& handoff) {
  SweepIfDue();
  const UploadSettings& settings = authorized.settings;
  if (auto refused = JudgeCreation(request, settings)) return *std::move(refused);
  switch (unfinished_.take(request.client)) {
    case UnfinishedCounts::Taken::kTaken: break;
    case UnfinishedCounts::Taken::kClientFull:
      return {TusAnswer(429, "This client has as many unfinished uploads as it may; finish or delete one."), {},
              "client-unfinished-limit"};
    case UnfinishedCounts::Taken::kServerFull: {
      PageAnswer full = TusAnswer(503, "The server holds as many unfinished uploads as it may; try again later.");
      full.headers.emplace_back("retry-after", "60");
      return {std::move(full), {}, "unfinished-limit"};
    }
  }
  ResumableState state;
  state.length = *ParseDecimalHeader(request.uploadLength.value_or(""));
  state.expires = static_cast<int64_t>(std::time(nullptr)) + config_.expiry.count();
  state.client = request.client;
  state.credentials = CredentialsDigest(request.credentials);
  state.metadata = request.uploadMetadata.value_or("");
  state.directory = settings.uploadDirectory.value_or("");
  state.maxFileBytes = settings.maxFileBytes;
  state.forwardHeaders = authorized.forwardHeaders;
  std::string id;
  if (StoreError error = store_->create(state, &id)) {
    unfinished_.release(request.client);
    const bool full = error.cause == StoreCause::kDiskFull;
    return {TusAnswer(full ? 507 : 500, "The upload could not be created on the server's disk."), {}, "create-failed"};
  }
  // An empty upload is whole at once: no request would ever bring its last byte.
  NoBody none;
  if (state.length == 0) return Receive(id, request, none, handoff, 201);
  if (body && request.bodyLength > 0) return Receive(id, request, *body, handoff, 201);
  PageAnswer created = TusAnswer(201, "");
  AddProgressHeaders(created, state);
  created.headers.emplace_back("location", request.locationBase + id);
  return {std::move(created), {}, ""};
}

PageAnswer ResumableUploads::Head(const ResumableRequest& request) {
  Found found = Find(request);
  if (found.status) return TusAnswer(found.status, "");
  PageAnswer answer = TusAnswer(200, "");
  answer.headers.emplace_back("upload-offset", std::to_string(found.state.offset));
  answer.headers.emplace_back("upload-length", std::to_string(found.state.length));
  if (!found.state.metadata.empty()) answer.headers.emplace_back("upload-metadata", found.state.metadata);
  answer.headers.emplace_back("upload-expires", HttpDateOf(found.state.expires));
  return answer;
}

PageAnswer ResumableUploads::Delete(const ResumableRequest& request) {
  Found found = Find(request);
  if (found.status) return TusAnswer(found.status, found.why);
  ResumableStore::HoldFailure why;
  std::unique_ptr<HeldUpload> held = store_->hold(request.id, &why);
  if (why == ResumableStore::HoldFailure::kBusy) return TusAnswer(423, "Another request is writing this upload; try again.");
  if (!held && !store_->removeIfIdle(request.id)) return TusAnswer(423, "Another request is writing this upload; try again.");
  if (held) {
    held->remove();
    unfinished_.release(found.state.client);
  }
  return TusAnswer(204, "");
}

PageAnswer ResumableUploads::Report(const ResumableRequest& request) {
  Found found = Find(request);
  if (found.status) return TusAnswer(found.status, found.why);
  if (auto report = store_->report(request.id)) return ParseKeptReport(*report);
  PageAnswer pending = TusAnswer(409, "The upload has not finished; its report comes with its last byte.");
  pending.headers.emplace_back("upload-offset", std::to_string(found.state.offset));
  return pending;
}

}  // namespace parcelmoor
