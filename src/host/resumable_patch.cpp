// The resumable uploads' requests that carry bytes: PATCH, a creation with
// its first bytes, and the completion their last byte starts.
#include <ctime>
#include <memory>

#include "host/resumable_answers.h"
#include "host/resumable_uploads.h"
#include "storage/message_digest.h"
#include "storage/resumable_files.h"

namespace parcelmoor {
namespace {

// Bytes taken from the socket per read, and written per call.
constexpr size_t kReceiveChunk = size_t{256} << 10;
// With sync, write-back of a request's bytes starts every this many, so
// that the disk writes while the rest arrives.
constexpr int64_t kWritebackEvery = int64_t{2} << 20;

std::string MetadataValue(const std::string& metadata, std::string_view key) {
  auto pairs = ParseUploadMetadata(metadata);
  if (!pairs) return {};
  for (const auto& [name, value] : *pairs) {
    if (name == key) return value;
  }
  return {};
}

// The most uploads whose digest is carried at once; past it, completion
// reads the file for it.
constexpr size_t kMaxCarriedDigests = 1024;

struct Received {
  int64_t got = 0;
  bool broken = false;  // the client went, or was too slow: the host knows which
  bool writeFailed = false;
};

// Reads `length` body bytes into `data` from `offset`, feeding the digests
// (either may be null).
Received ReceiveBody(ResumableBody& body, int64_t length, ResumableData& data, int64_t offset, MessageDigest* checked,
                     Sha256Stream* running, bool sync) {
  auto buffer = std::make_unique<uint8_t[]>(kReceiveChunk);
  Received r;
  int64_t writtenBack = 0;
  try {
    while (r.got < length && !r.writeFailed) {
      const size_t n = body.Read(buffer.get(), static_cast<size_t>(std::min<int64_t>(length - r.got, kReceiveChunk)));
      const std::span<const uint8_t> bytes(buffer.get(), n);
      r.writeFailed = !data.writeAt(offset + r.got, bytes);
      if (checked) checked->update(bytes);
      if (running) running->update(bytes);
      r.got += static_cast<int64_t>(n);
      if (sync && r.got - writtenBack >= kWritebackEvery) {
        data.startWriteback(offset + writtenBack, r.got - writtenBack);
        writtenBack = r.got;
      }
    }
  } catch (...) {
    r.broken = true;
  }
  return r;
}

}  // namespace

std::unique_ptr<Sha256Stream> ResumableUploads::TakeDigest(const std::string& id, int64_t offset) {
  std::unique_ptr<Sha256Stream> digest;
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

void ResumableUploads::KeepDigest(const std::string& id, int64_t offset, std::unique_ptr<Sha256Stream> digest) {
  if (!digest) return;
  std::lock_guard lock(mutex_);
  if (digests_.size() < kMaxCarriedDigests) digests_.emplace(id, std::make_pair(offset, std::move(digest)));
}

ResumableOutcome ResumableUploads::Patch(const ResumableRequest& request, ResumableBody& body,
                                         const ResumableHandoff& handoff) {
  Found found = Find(request);
  if (found.status) {
    body.Ended();
    return {Answer(found.status, found.why), {}, ""};
  }
  return Receive(request.id, std::move(found.state), request, body, handoff, 204);
}

ResumableOutcome ResumableUploads::Receive(const std::string& id, ResumableState state, const ResumableRequest& request,
                                           ResumableBody& body, const ResumableHandoff& handoff, int successStatus) {
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  auto refuse = [&](int status, std::string_view why, std::string note) {
    body.Ended();
    PageAnswer answer = Answer(status, why);
    AddProgressHeaders(answer, state);
    return ResumableOutcome{std::move(answer), {}, std::move(note)};
  };
  ResumableData data(paths.data, false);
  if (!data.valid()) return refuse(409, "The upload has ended; it takes no more bytes.", "upload-ended");
  if (!data.tryLock()) return refuse(423, "Another request is writing this upload; try again shortly.", "upload-locked");
  // Under the lock, the state as the last writer left it.
  auto text = ReadSmallFile(paths.info, 1 << 16);
  auto current = text ? ParseResumableState(*text) : std::nullopt;
  if (!current) return refuse(404, "There is no such upload.", "");
  state = std::move(*current);
  if (ParseDecimalHeader(request.uploadOffset.value_or("0")) != state.offset) {
    return refuse(409, "Upload-Offset is not where the upload stands; ask with HEAD.", "offset-mismatch");
  }
  if (request.bodyLength > state.length - state.offset) {
    return refuse(413, "The request carries more bytes than the upload has left.", "too-large");
  }
  // Bytes past the recorded offset were never acknowledged (a request that
  // broke off before its state was saved): they go.
  if (!data.truncate(state.offset)) return refuse(500, "The upload's bytes could not be written.", "write-failed");

  std::optional<UploadChecksum> checksum;
  MessageDigest digest;
  if (request.uploadChecksum) {
    checksum = ParseUploadChecksum(*request.uploadChecksum);
    if (!checksum || !digest.start(checksum->algorithm)) return refuse(400, "Upload-Checksum is not usable.", "");
  }
  std::unique_ptr<Sha256Stream> running = config_.settings.checksums ? TakeDigest(id, state.offset) : nullptr;
  const auto [got, broken, writeFailed] = ReceiveBody(body, request.bodyLength, data, state.offset,
                                                      checksum ? &digest : nullptr, running.get(), config_.settings.sync);
  body.Ended();
  const int64_t from = state.offset;
  auto dropChunk = [&](int status, std::string_view why, std::string note) {
    data.truncate(from);
    return refuse(status, why, std::move(note));
  };
  if (writeFailed) return dropChunk(507, "The upload's bytes could not be written to the server's disk.", "write-failed");
  if (checksum && broken) return dropChunk(400, "The body ended early, so its checksum cannot hold.", "client-gone");
  if (checksum && digest.finish() != checksum->digest) {
    return dropChunk(460, "The bytes do not match Upload-Checksum; they were dropped.", "checksum-mismatch");
  }
  if (got > 0 && config_.settings.sync && !data.sync()) return dropChunk(507, "The bytes could not be made durable.", "sync-failed");
  state.offset += got;
  state.expires = static_cast<int64_t>(std::time(nullptr)) + config_.expiry.count();
  if (!Save(id, state)) {
    state.offset = from;
    return dropChunk(507, "The upload's state could not be saved.", "state-failed");
  }
  if (state.finished()) return Complete(id, state, handoff, successStatus, running ? running->finishHex() : "");
  KeepDigest(id, state.offset, std::move(running));
  if (broken) return refuse(400, "The body ended before its announced length; the bytes that came are kept.", "client-gone");
  PageAnswer accepted = Answer(successStatus, "");
  AddProgressHeaders(accepted, state);
  if (successStatus == 201) accepted.headers.emplace_back("location", std::string(kResumablePath) + id);
  return {std::move(accepted), {}, ""};
}

ResumableOutcome ResumableUploads::Complete(const std::string& id, const ResumableState& state,
                                            const ResumableHandoff& handoff, int successStatus, std::string sha256) {
  const ResumablePaths paths = ResumablePathsOf(directory_, id);
  // The settings this upload was authorized with.
  UploadSettings settings = config_.settings;
  settings.uploadDirectory = state.directory;
  settings.maxFileBytes = state.maxFileBytes;
  ResumableHandoff told = handoff;
  told.client.forwardHeaders = state.forwardHeaders;
  told.client.contentLength = state.length;
  const ResumableFile file{paths.data, MetadataValue(state.metadata, "filename"),
                           MetadataValue(state.metadata, "filetype"), state.length, std::move(sha256)};
  UploadAnswer done = CompleteResumableUpload(file, settings, told);
  ReplaceFileAtomically(paths.report, KeepReport(done.answer), config_.settings.sync);
  Forget(id, state);
  PageAnswer answer;
  if (done.answer.status / 100 == 2) {
    answer = Answer(successStatus, "");
  } else {
    answer = std::move(done.answer);
    answer.headers.emplace_back("tus-resumable", std::string(kTusVersion));
  }
  // A creation that brought every byte: its URL still gives the report.
  if (successStatus == 201) answer.headers.emplace_back("location", std::string(kResumablePath) + id);
  AddProgressHeaders(answer, state);
  return {std::move(answer), std::move(done.log), std::move(done.note)};
}

}  // namespace parcelmoor
