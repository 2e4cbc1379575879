#pragma once
// Resumable uploads (the tus 1.0.0 protocol) beside the multipart upload
// page: a client creates an upload of a known length, sends its bytes in as
// many PATCH requests as it likes, across dropped connections and server
// restarts, and learns how far it got with HEAD. When the last byte
// arrives the file is stored exactly as a multipart file would be
// (host/finished_upload.h) and its report is kept for GET until the upload
// expires. A completion that fails in passing (a name another upload
// writes, a scanner, store or application out of reach, a full disk) keeps
// every byte but the last acknowledged, so that the client's ordinary
// retry sends that byte again and completes the upload.
//
// Extensions: creation, creation-with-upload, termination, checksum (sha1,
// sha256; 460 on a mismatch, the request's bytes dropped), expiration.
//
// Who may go on: the creating request is authorized as a multipart upload
// is (the host does that before Create and passes the outcome: narrowed
// directory and limits, forwarded headers, kept in the upload's state); the
// later requests must carry the same credentials (its Authorization header,
// or without one its Cookie), compared by their SHA-256.
//
// This is the protocol alone: where the bytes and the state are kept is
// the ResumableStore's business. Every member may be called from any
// thread; one upload's bytes are written by one request at a time (a
// second gets 423).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/authorization.h"
#include "host/page_answer.h"
#include "host/request_log.h"
#include "host/tus/unfinished_counts.h"
#include "host/upload_handoff.h"
#include "host/upload_settings.h"
#include "storage/resumable/resumable_store.h"

namespace parcelmoor {

// Where the protocol is served; an upload's URL is this and its id.
inline constexpr std::string_view kResumablePath = "/files/";

// What the protocol reads of a request's header.
struct ResumableRequest {
  std::string method;
  std::string id;  // the path after kResumablePath; "" for the collection
  std::optional<std::string> tusResumable, uploadLength, uploadOffset, uploadMetadata, uploadChecksum,
      uploadDeferLength;
  std::string contentType;
  int64_t bodyLength = 0;   // the announced Content-Length (0 when none)
  std::string credentials;  // the Authorization header, or without one the Cookie header
  std::string client;       // the client's address, for the per-client cap
  // What a creation's Location puts before the new id: relative to the
  // request's URL, so that it holds under any path prefix a proxy adds; ""
  // when the creation was posted to the collection with its slash.
  std::string locationBase;
};

// A request's body, read on the request's thread.
class ResumableBody {
 public:
  virtual ~ResumableBody() = default;
  // Up to `count` bytes (at least one); throws when the body cannot be read
  // further (the client went, was too slow, or the server is stopping).
  virtual size_t Read(uint8_t* into, size_t count) = 0;
  // The body has been read as far as it will be; called once, before any
  // virus scan or hand-off (the server frees the upload slot here).
  virtual void Ended() = 0;
};

// The application the file is handed to before its commit (empty call: none)
// and what it is told of the completing request.
struct ResumableHandoff {
  ApplicationCall call;
  HandoffRequest client;
};

struct ResumableConfig {
  UploadSettings settings;  // as configured; a creation's authorization narrows its copy
  std::chrono::seconds expiry{24 * 3600};
  int32_t maxUnfinishedPerClient = 16;
  // All clients' unfinished uploads together; 0: no cap.
  int32_t maxUnfinished = 0;
  // A local directory whose private folder keeps the unfinished uploads'
  // bytes and state; "": the upload directory's own.
  std::string spoolDirectory;
};

struct ResumableOutcome {
  PageAnswer answer;
  UploadLog log;     // set when the request completed the upload
  std::string note;  // one word for the log, or empty
};

class ResumableUploads {
 public:
  // Keeps the uploads in `store`; counts the unfinished ones a previous
  // run left, removing expired ones.
  ResumableUploads(ResumableConfig config, std::shared_ptr<ResumableStore> store);
  // The store the configuration names (the upload directory's private
  // folder, or the spool directory's).
  static std::shared_ptr<ResumableStore> StoreFor(const ResumableConfig& config);

  // Before anything is read or authorized: 412 (Tus-Resumable), 404 (no
  // such path), 405 (method), 400 (malformed headers), 413 (Upload-Length
  // over the limit), 415 (PATCH type); nullopt when the request goes on.
  std::optional<PageAnswer> Screen(const ResumableRequest& request) const;
  // OPTIONS: what this server speaks.
  PageAnswer Options() const;

  // POST, once authorized (`authorized.settings` is this upload's copy):
  // judges what can be judged before any byte (name, declared type, size),
  // creates the upload (201 with Location), and with a body receives it as
  // a PATCH at offset 0 would.
  ResumableOutcome Create(const ResumableRequest& request, const AuthorizationOutcome& authorized,
                          ResumableBody* body, const ResumableHandoff& handoff);
  // PATCH: appends the body at Upload-Offset (204 with the new offset, 409
  // at another offset, 423 while another request writes, 460 on a checksum
  // mismatch); the last byte completes the upload (its answer when that
  // fails, else 204).
  ResumableOutcome Patch(const ResumableRequest& request, ResumableBody& body, const ResumableHandoff& handoff);
  // HEAD (offset, length, metadata), DELETE (204), GET (the report once
  // the upload ended; 409 before).
  PageAnswer Head(const ResumableRequest& request);
  PageAnswer Delete(const ResumableRequest& request);
  PageAnswer Report(const ResumableRequest& request);

  // Unfinished uploads removed at their expiry since the start.
  int64_t expiredCount() const { return expired_.load(std::memory_order_relaxed); }

  // The largest upload accepted (Tus-Max-Size); nullopt: no limit.
  std::optional<int64_t> maxSize() const { return MaxSizeOf(config_.settings); }
  static std::optional<int64_t> MaxSizeOf(const UploadSettings& settings);

 private:
  // The state of the request's upload, or what to answer instead.
  struct Found {
    int status = 0;  // 0: found; else what to answer (404, 410, 403)
    std::string why;
    ResumableState state;
  };
  Found Find(const ResumableRequest& request);
  std::optional<ResumableOutcome> JudgeCreation(const ResumableRequest& request, const UploadSettings& settings) const;
  ResumableOutcome Receive(const std::string& id, const ResumableRequest& request, ResumableBody& body,
                           const ResumableHandoff& handoff, int successStatus);
  ResumableOutcome Complete(const std::string& id, HeldUpload& held, const ResumableHandoff& handoff,
                            int successStatus, const std::string& locationBase);
  void SweepIfDue();
  void Sweep(bool counting);

  const ResumableConfig config_;
  const std::shared_ptr<ResumableStore> store_;
  UnfinishedCounts unfinished_;
  std::atomic<int64_t> expired_{0};
  std::mutex sweepMutex_;
  std::chrono::steady_clock::time_point lastSweep_;
};

}  // namespace parcelmoor
