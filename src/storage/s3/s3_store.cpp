// Multipart uploads as the steps of a Store: begin, parts, complete, abort,
// and the sweep of uploads a gone writer left pending.
#include "storage/s3/s3_store.h"

#include <atomic>
#include <cerrno>
#include <chrono>

#include "runtime/base64.h"
#include "storage/coordinator/coordinator.h"
#include "storage/s3/s3_xml.h"

namespace parcelmoor {
namespace {

// The longest key S3 allows, in bytes.
constexpr size_t kMaxKeyBytes = 1024;

std::span<const uint8_t> BytesOf(const std::string& text) {
  return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Whether the store may take writes that fail when the key exists
// (If-None-Match: *): until it answers one with 501 Not Implemented, as
// Swift's S3 API does; then no later request of the process asks again.
std::atomic<bool> conditionalWrites{true};

// A store that kept other bytes than were sent: a fault of the store.
constexpr StoreError kMismatch{StoreCause::kIo, EIO};

}  // namespace

S3Store::S3Store(std::string bucket, S3StoreOptions options)
    : bucket_(std::move(bucket)), options_(std::move(options)), client_(options_.s3, bucket_),
      sender_(options_.s3, bucket_) {}

S3Store::~S3Store() {
  for (Ticket t = 0; t < entries_.size(); ++t) {
    if (entries_[t].state == State::kWriting || entries_[t].state == State::kFinished) abandon(t);
  }
}

S3Answer S3Store::send(const S3Request& request) {
  S3Answer answer = client_.send(request);
  // A 404 is an answer these requests expect (a free key, an upload already
  // gone), not a failure worth a log line.
  if (answer.error && answer.status != 404) lastFailure_ = answer.failure;
  return answer;
}

StoreError S3Store::begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                          StoreFile* file) {
  if (!IsSafeFileName(fileName)) return {StoreCause::kNameRefused, EINVAL};
  std::string why;
  const std::optional<S3Location> location = ParseS3Url(UploadDirectoryPrefix(directory), why);
  if (!location || location->bucket != bucket_) return {StoreCause::kNoDirectory, ENOENT};
  const auto partSize = static_cast<size_t>(options_.s3.partSize);
  Entry entry{location->prefix + fileName, {}, PartBuffer(partSize), PartBuffer(partSize), {}, {}, {}, {},
              State::kWriting};
  if (entry.key.size() > kMaxKeyBytes) return {StoreCause::kNameTooLong, ENAMETOOLONG};
  // Replacing needs the share rule, as locally: two writers of one key, the
  // later Complete silently winning, would lose a file nobody was told of.
  if (options_.onExists == OnExists::kReplace) {
    const ClaimResult claimed = entry.claim.tryTake(coordinator(), bucket_ + "/" + entry.key);
    if (StoreError error = claimFailure(claimed, {StoreCause::kNameBusy, EWOULDBLOCK})) return error;
  }
  // Keep-both's name is chosen now, so that the records (and an application
  // asked before the commit) name the key the file will have.
  if (options_.onExists == OnExists::kKeepBoth) {
    if (StoreError error = chooseFreeKey(entry)) return error;
  }
  entries_.push_back(std::move(entry));
  *ticket = entries_.size() - 1;
  *file = StoreFile{S3Location{bucket_, ""}.pathOf(entries_.back().key), "", {}};
  return {};
}

StoreError S3Store::write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) {
  Entry& entry = entries_[ticket];
  *written = 0;
  // A slow file must not outlive its claim; a renewal that fails here is
  // found again, and decides, at the commit.
  entry.claim.keep();
  while (*written < bytes.size()) {
    *written += entry.buffer.fill(bytes.subspan(*written));
    if (!entry.buffer.full()) break;
    if (StoreError error = sendPart(entry)) return error;
  }
  return {};
}

StoreError S3Store::finish(Ticket ticket) {
  Entry& entry = entries_[ticket];
  StoreError error;
  if (!entry.buffer.empty()) error = sendPart(entry);
  const StoreError last = awaitPart(entry);
  if (!error) error = last;
  entry.buffer.release();
  entry.sending.release();
  entry.state = State::kFinished;
  return error;
}

StoreError S3Store::beginUpload(Entry& entry) {
  if (!entry.uploadId.empty()) return {};
  S3Answer answer = send({.method = "POST", .key = entry.key, .query = {{"uploads", ""}},
                          .headers = {{"content-type", "application/octet-stream"}}});
  if (answer.error) return answer.error;
  std::optional<std::string> id = ReadUploadId(answer.body);
  if (!id) {
    lastFailure_ = "the store's answer to starting an upload names no upload";
    return {StoreCause::kRefused, 0};
  }
  entry.uploadId = std::move(*id);
  return {};
}

StoreError S3Store::sendPart(Entry& entry) {
  if (StoreError error = beginUpload(entry)) return error;
  if (StoreError error = awaitPart(entry)) return error;
  if (entry.partETags.size() >= static_cast<size_t>(kS3MaxParts)) {
    lastFailure_ = "the file needs more than " + std::to_string(kS3MaxParts) + " parts (raise --s3-part-size)";
    return {StoreCause::kDiskFull, EFBIG};
  }
  // The full part travels from where it is; the next is received into the
  // memory the last one travelled from.
  std::swap(entry.buffer, entry.sending);
  entry.buffer.clear();
  const std::string number = std::to_string(entry.partETags.size() + 1);
  sender_.start({.method = "PUT", .key = entry.key, .query = {{"partNumber", number}, {"uploadId", entry.uploadId}},
                 .headers = {{"content-type", "application/octet-stream"}}, .body = entry.sending.part()});
  return {};
}

StoreError S3Store::awaitPart(Entry& entry) noexcept {
  if (!sender_.travelling()) return {};
  SentPart sent = sender_.wait();
  entry.sending.clear();
  const std::string number = std::to_string(entry.partETags.size() + 1);
  try {
    if (sent.answer.error) {
      lastFailure_ = sent.answer.failure;
      return sent.answer.error;
    }
    if (BareETag(sent.answer.etag) != HexOf(sent.md5)) {
      lastFailure_ = "part " + number + " of " + entry.key + " came back with ETag " + sent.answer.etag;
      return kMismatch;
    }
    entry.partETags.push_back(std::move(sent.answer.etag));
    entry.partMd5s.push_back(std::move(sent.md5));
  } catch (...) {
    return {StoreCause::kIo, ENOMEM};
  }
  return {};
}

StoreError S3Store::chooseFreeKey(Entry& entry) {
  const std::string wanted = entry.key;
  for (int n = 0; n <= kKeepBothTries; ++n) {
    const std::string candidate = n == 0 ? wanted : NumberedName(wanted, n);
    const ClaimResult claimed = entry.claim.tryTake(coordinator(), bucket_ + "/" + candidate);
    if (claimed == ClaimResult::kHeldByAnother) continue;
    if (StoreError error = claimFailure(claimed, {})) return error;
    StoreError error;
    if (!exists(candidate, error) && !error) {
      entry.key = candidate;
      return {};
    }
    entry.claim.release();
    if (error) return error;
  }
  return {StoreCause::kNameExists, EEXIST};
}

bool S3Store::exists(const std::string& key, StoreError& error) {
  S3Answer answer = send({.method = "HEAD", .key = key});
  if (answer.status == 404) return false;
  error = answer.error;
  return !answer.error;
}

bool S3Store::abandon(Ticket ticket) noexcept {
  Entry& entry = entries_[ticket];
  if (entry.state != State::kWriting && entry.state != State::kFinished) return true;
  bool gone = true;
  awaitPart(entry);  // a part still travelling would land after the abort
  try {
    entry.buffer.release();
    entry.sending.release();
    if (!entry.uploadId.empty()) {
      S3Answer answer = send({.method = "DELETE", .key = entry.key, .query = {{"uploadId", entry.uploadId}}});
      // An upload the store no longer knows is as aborted as can be.
      gone = !answer.error || answer.status == 404;
    }
  } catch (...) {
    gone = false;  // what is left, a sweep aborts after the grace
  }
  entry.claim.release();
  entry.state = State::kGone;
  return gone;
}

StoreError S3Store::claimFailure(ClaimResult result, StoreError whenHeld) {
  if (result == ClaimResult::kTaken) return {};
  if (result == ClaimResult::kHeldByAnother) return whenHeld;
  lastFailure_ = coordinator() != nullptr ? coordinator()->lastFailure() : std::string();
  return {StoreCause::kUnreachable, 0};
}

StoreError S3Store::claimForCommit(Entry& entry) {
  const std::string name = bucket_ + "/" + entry.key;
  // Under refuse, the check and the commit are one step: a second upload
  // of the key, here or on another instance, waits, then finds it taken.
  if (options_.onExists == OnExists::kRefuse && !entry.claim.held()) {
    return claimFailure(entry.claim.take(coordinator(), name, std::chrono::seconds(30)),
                        {StoreCause::kNameBusy, EWOULDBLOCK});
  }
  ClaimResult kept = entry.claim.keep(true);
  if (kept == ClaimResult::kHeldByAnother) {
    // It expired while the file was written (a client slower than the
    // claim's lifetime): the key is this file's only if no one took it since.
    entry.claim.release();
    kept = entry.claim.tryTake(coordinator(), name);
  }
  return claimFailure(kept, options_.onExists == OnExists::kReplace ? StoreError{StoreCause::kNameBusy, EWOULDBLOCK}
                                                                      : StoreError{StoreCause::kNameExists, EEXIST});
}

std::vector<StoreError> S3Store::commit(std::span<const Ticket> tickets) {
  std::vector<StoreError> results(tickets.size());
  for (size_t i = 0; i < tickets.size(); ++i) {
    Entry& entry = entries_[tickets[i]];
    if (entry.state != State::kFinished) {
      if (entry.state != State::kCommitted) results[i] = {StoreCause::kIo, EINVAL};
      continue;
    }
    results[i] = commitOne(entry);
    if (results[i]) {
      abandon(tickets[i]);
      continue;
    }
    entry.state = State::kCommitted;
    entry.claim.release();
  }
  return results;
}

StoreError S3Store::commitOne(Entry& entry) {
  if (StoreError error = claimForCommit(entry)) return error;
  // Refuse: the name must be free. Keep-both: the name chosen at begin must
  // still be free (another instance may have taken it since).
  if (options_.onExists != OnExists::kReplace) {
    StoreError error;
    if (exists(entry.key, error)) return {StoreCause::kNameExists, EEXIST};
    if (error) return error;
  }
  return entry.uploadId.empty() ? putEmpty(entry) : completeUpload(entry);
}

S3Answer S3Store::sendUnlessTaken(S3Request request) {
  if (options_.onExists == OnExists::kReplace || !conditionalWrites.load()) return send(request);
  S3Request guarded = request;
  guarded.headers.emplace_back("if-none-match", "*");
  S3Answer answer = send(guarded);
  if (answer.status != 501) return answer;
  conditionalWrites = false;
  return send(request);
}

StoreError S3Store::completeUpload(Entry& entry) {
  const std::string body = CompleteMultipartBody(entry.partETags);
  S3Answer answer = sendUnlessTaken({.method = "POST", .key = entry.key, .query = {{"uploadId", entry.uploadId}},
                                     .headers = {{"content-md5", Base64Encode(Md5Of(BytesOf(body)))},
                                                 {"content-type", "application/xml"}},
                                     .body = BytesOf(body)});
  const std::string expected = MultipartETag(entry.partMd5s);
  if (answer.errorCode == "NoSuchUpload" || answer.status == 412) {
    // A Complete sent again after its answer was lost finds its upload
    // gone, or (conditional) its own object in the way: the object is
    // there when it carries this file's ETag.
    S3Answer head = send({.method = "HEAD", .key = entry.key});
    if (!head.error && BareETag(head.etag) == BareETag(expected)) {
      answer = S3Answer{};
      answer.etag = head.etag;
    } else if (answer.status == 412) {
      return {StoreCause::kNameExists, EEXIST};
    } else {
      lastFailure_ = answer.failure;
    }
  }
  if (answer.error) return answer.error;
  // S3 may answer 200 and put its refusal in the body.
  if (auto refusal = ReadS3Error(answer.body)) {
    lastFailure_ = refusal->code + ": " + refusal->message + " (completing " + entry.key + ")";
    return {StoreCause::kRefused, 0};
  }
  std::optional<std::string> etag = ReadCompletedETag(answer.body);
  if (!etag && !answer.etag.empty()) etag = answer.etag;
  if (!etag || BareETag(*etag) != BareETag(expected)) {
    lastFailure_ = entry.key + " was completed with ETag " + etag.value_or("(none)") + ", not " + expected;
    // The object the store made is not the file: it must not stay.
    send({.method = "DELETE", .key = entry.key});
    return kMismatch;
  }
  entry.uploadId.clear();  // completed: nothing left to abort
  entry.committedETag = *etag;
  return {};
}

StoreError S3Store::putEmpty(Entry& entry) {
  const std::string md5 = Md5Of({});
  S3Answer answer = sendUnlessTaken({.method = "PUT", .key = entry.key,
                                     .headers = {{"content-md5", Base64Encode(md5)}, {"content-type", "application/octet-stream"}}});
  if (answer.status == 412) return {StoreCause::kNameExists, EEXIST};
  if (answer.error) return answer.error;
  if (BareETag(answer.etag) != HexOf(md5)) {
    lastFailure_ = entry.key + " was stored with ETag " + answer.etag;
    return kMismatch;
  }
  entry.committedETag = answer.etag;
  return {};
}

std::string S3Store::finalPath(Ticket ticket) const { return S3Location{bucket_, ""}.pathOf(entries_[ticket].key); }

bool S3Store::removeCommitted(const std::string& finalPath, const FileIdentity&) noexcept {
  try {
    for (Entry& entry : entries_) {
      if (entry.state != State::kCommitted || S3Location{bucket_, ""}.pathOf(entry.key) != finalPath) continue;
      S3Answer head = send({.method = "HEAD", .key = entry.key});
      if (head.status == 404) return true;
      if (head.error) return false;
      // Another object took the key since: this file is gone already.
      if (BareETag(head.etag) != BareETag(entry.committedETag)) return true;
      S3Answer removed = send({.method = "DELETE", .key = entry.key});
      if (removed.error && removed.status != 404) return false;
      entry.state = State::kGone;
      return true;
    }
  } catch (...) {
    return false;
  }
  return false;
}

std::vector<std::string> S3Store::sweep(const std::string& directory) {
  std::vector<std::string> removed;
  std::string why;
  const std::optional<S3Location> location = ParseS3Url(UploadDirectoryPrefix(directory), why);
  if (!location || location->bucket != bucket_) return removed;
  const auto before = std::chrono::system_clock::now() - options_.s3.sweepGrace;
  QueryParameters query{{"uploads", ""}, {"prefix", location->prefix}};
  for (int page = 0; page < 10'000; ++page) {
    S3Answer answer = send({.method = "GET", .key = "", .query = query});
    if (answer.error) break;
    const std::optional<S3PendingPage> pending = ReadPendingUploads(answer.body);
    if (!pending) {
      lastFailure_ = "the store's list of pending uploads could not be read";
      break;
    }
    for (const S3PendingUpload& upload : pending->uploads) {
      if (upload.initiated > before) continue;
      S3Answer aborted = send({.method = "DELETE", .key = upload.key, .query = {{"uploadId", upload.uploadId}}});
      if (!aborted.error) removed.push_back(location->pathOf(upload.key) + " (multipart upload " + upload.uploadId + ")");
    }
    if (!pending->truncated) break;
    query = {{"uploads", ""}, {"prefix", location->prefix}, {"key-marker", pending->nextKeyMarker},
             {"upload-id-marker", pending->nextUploadIdMarker}};
  }
  return removed;
}

}  // namespace parcelmoor
