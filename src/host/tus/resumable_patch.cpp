// The resumable uploads' requests that carry bytes: PATCH, a creation with
// its first bytes, and the completion their last byte starts.
#include <ctime>
#include <memory>

#include "host/client_paths.h"
#include "host/finished_upload.h"
#include "host/upload_narrowing.h"
#include "host/tus/resumable_answers.h"
#include "host/tus/resumable_uploads.h"
#include "host/tus/tus_headers.h"
#include "storage/message_digest.h"

namespace parcelmoor {
namespace {

// Bytes taken from the socket per read, and written per call.
constexpr size_t kReceiveChunk = size_t{256} << 10;

// The field name a multipart upload from the page gives its file.
constexpr std::string_view kFieldName = "file";

struct Received {
  int64_t got = 0;
  bool broken = false;  // the client went, or was too slow: the host knows which
  StoreError writeFailure;
};

// Reads `length` body bytes into the held upload, feeding the checked
// digest (may be null).
Received ReceiveBody(ResumableBody& body, int64_t length, HeldUpload& held, MessageDigest* checked) {
  auto buffer = std::make_unique<uint8_t[]>(kReceiveChunk);
  Received r;
  try {
    while (r.got < length && !r.writeFailure) {
      const size_t n = body.Read(buffer.get(), static_cast<size_t>(std::min<int64_t>(length - r.got, kReceiveChunk)));
      const std::span<const uint8_t> bytes(buffer.get(), n);
      r.writeFailure = held.append(bytes);
      if (checked) checked->update(bytes);
      r.got += static_cast<int64_t>(n);
    }
  } catch (...) {
    r.broken = true;
  }
  return r;
}

int StatusOfWriteFailure(const StoreError& error) { return error.cause == StoreCause::kDiskFull ? 507 : 500; }

}  // namespace

ResumableOutcome ResumableUploads::Patch(const ResumableRequest& request, ResumableBody& body,
                                         const ResumableHandoff& handoff) {
  Found found = Find(request);
  if (found.status) {
    body.Ended();
    return {TusAnswer(found.status, found.why), {}, ""};
  }
  return Receive(request.id, request, body, handoff, 204);
}

ResumableOutcome ResumableUploads::Receive(const std::string& id, const ResumableRequest& request,
                                           ResumableBody& body, const ResumableHandoff& handoff, int successStatus) {
  std::optional<ResumableState> progress;
  auto refuse = [&](int status, std::string_view why, std::string note) {
    body.Ended();
    PageAnswer answer = TusAnswer(status, why);
    if (progress) AddProgressHeaders(answer, *progress);
    return ResumableOutcome{std::move(answer), {}, std::move(note)};
  };
  ResumableStore::HoldFailure failure;
  std::unique_ptr<HeldUpload> held = store_->hold(id, &failure);
  switch (failure) {
    case ResumableStore::HoldFailure::kNone: break;
    case ResumableStore::HoldFailure::kBusy:
      return refuse(423, "Another request is writing this upload; try again shortly.", "upload-locked");
    case ResumableStore::HoldFailure::kEnded: return refuse(409, "The upload has ended; it takes no more bytes.", "upload-ended");
    case ResumableStore::HoldFailure::kMissing: return refuse(404, "There is no such upload.", "");
  }
  ResumableState state = held->state();
  progress = state;
  if (ParseDecimalHeader(request.uploadOffset.value_or("0")) != state.offset) {
    return refuse(409, "Upload-Offset is not where the upload stands; ask with HEAD.", "offset-mismatch");
  }
  if (request.bodyLength > state.length - state.offset) {
    return refuse(413, "The request carries more bytes than the upload has left.", "too-large");
  }
  std::optional<UploadChecksum> checksum;
  MessageDigest digest;
  if (request.uploadChecksum) {
    checksum = ParseUploadChecksum(*request.uploadChecksum);
    if (!checksum || !digest.start(checksum->algorithm)) return refuse(400, "Upload-Checksum is not usable.", "");
  }
  const Received got = ReceiveBody(body, request.bodyLength, *held, checksum ? &digest : nullptr);
  body.Ended();
  auto dropPiece = [&](int status, std::string_view why, std::string note) {
    held->dropAppended();
    return refuse(status, why, std::move(note));
  };
  if (got.writeFailure) {
    return dropPiece(StatusOfWriteFailure(got.writeFailure), "The upload's bytes could not be written.", "write-failed");
  }
  if (checksum && got.broken) return dropPiece(400, "The body ended early, so its checksum cannot hold.", "client-gone");
  if (checksum && digest.finish() != checksum->digest) {
    return dropPiece(460, "The bytes do not match Upload-Checksum; they were dropped.", "checksum-mismatch");
  }
  state.offset += got.got;
  state.expires = static_cast<int64_t>(std::time(nullptr)) + config_.expiry.count();
  // Until its file is stored, a whole upload is saved one byte short: a
  // client that asks how far it got after a crash or a failure in passing
  // sends that byte again, and so completes it, rather than taking an
  // upload nobody stored for done.
  ResumableState saved = state;
  if (state.finished() && state.length > 0) saved.offset = state.length - 1;
  if (got.got > 0 || state.length == 0) {
    if (StoreError error = held->save(saved)) {
      return dropPiece(StatusOfWriteFailure(error), "The upload's state could not be saved.", "state-failed");
    }
    progress = saved;
  }
  if (state.finished()) return Complete(id, *held, handoff, successStatus, request.locationBase);
  if (got.broken) return refuse(400, "The body ended before its announced length; the bytes that came are kept.", "client-gone");
  PageAnswer accepted = TusAnswer(successStatus, "");
  AddProgressHeaders(accepted, state);
  if (successStatus == 201) accepted.headers.emplace_back("location", request.locationBase + id);
  return {std::move(accepted), {}, ""};
}

ResumableOutcome ResumableUploads::Complete(const std::string& id, HeldUpload& held, const ResumableHandoff& handoff,
                                            int successStatus, const std::string& locationBase) {
  ResumableState state = held.state();
  // The settings and the application's view this upload was authorized with.
  UploadSettings settings = config_.settings;
  settings.uploadDirectory = state.directory;
  settings.maxFileBytes = state.maxFileBytes;
  HandoffRequest client = handoff.client;
  client.forwardHeaders = state.forwardHeaders;
  // The directory an application chose at the creation is walked again
  // now: a step swapped for a link since then keeps the file where it is.
  if (std::string why; !StillBelow(config_.settings.uploadDirectory.value_or("."), state.directory, why)) {
    PageAnswer kept = TusAnswer(503, "The upload's directory cannot be used just now; try again later.");
    kept.headers.emplace_back("retry-after", "60");
    AddProgressHeaders(kept, state);
    return {std::move(kept), {}, "directory-moved: " + why};
  }
  const FinishedFile file{std::string(kFieldName), MetadataValue(state.metadata, "filename"),
                          MetadataValue(state.metadata, "filetype"), &held.finishedBytes()};
  UploadAnswer done = StoreFinishedUpload(file, settings, ClientPathRoot(config_.settings), client, handoff.call);
  state.offset = state.length;
  const CompletionRetry retry = RetryOf(done);
  PageAnswer answer;
  if (retry != CompletionRetry::kNever) {
    // Every byte stays; the saved offset, one short, lets the retry finish it.
    state.offset = held.state().offset;
    const bool busy = retry == CompletionRetry::kWhenNameFree;
    answer = TusAnswer(busy ? 423 : 503, busy ? "Another upload is writing a file of this name; try again shortly."
                                              : "The file could not be stored just now; try again shortly.");
    answer.headers.emplace_back("retry-after", busy ? "2" : "5");
  } else {
    held.end(state, KeepReport(done.answer));
    unfinished_.release(state.client);
    if (done.answer.status / 100 == 2) {
      answer = TusAnswer(successStatus, "");
    } else {
      answer = std::move(done.answer);
      answer.headers.emplace_back("tus-resumable", std::string(kTusVersion));
    }
  }
  // A creation that brought every byte: its URL still gives the report.
  if (successStatus == 201) answer.headers.emplace_back("location", locationBase + id);
  AddProgressHeaders(answer, state);
  return {std::move(answer), std::move(done.log), std::move(done.note)};
}

}  // namespace parcelmoor
