#pragma once
// The store of files in an S3-compatible object store: each file streams
// into a multipart upload of its own as its bytes arrive, one part of
// `partSize` at a time (the last smaller), each sent while the next is
// received (s3_part_sender.h), so a file being received holds two parts in
// memory and a finished one none, and no byte touches the disk.
// The upload begins with the file's first full part (or at its finish);
// commit completes it, which makes the object appear under its key in one
// step, an earlier object of that key staying whole until then; abandon
// aborts it, leaving nothing pending and the earlier object as it was. An
// empty file is one plain PUT at commit. Each part carries its Content-MD5
// (the store refuses bytes that do not match) and its ETag is checked, as
// is the completed object's.
//
// Names: the component's directory is the upload directory itself,
// "s3://BUCKET/PREFIX"; a file's key is PREFIX/NAME and its finalPath
// "s3://BUCKET/PREFIX/NAME". There is no place a reader could open a file
// before its commit: pendingPath is empty.
//
// onExists (exact within one process, s3_key_claims.h, and across the
// instances that share a coordinator, s3_name_claim.h; without one, not
// atomic across processes: S3 has no put that fails when the key exists):
//   replace    Complete replaces in one step; a key another upload of this
//              process writes is refused (kNameBusy), as locally.
//   refuse     a HEAD just before Complete; taken: aborted, kNameExists.
//   keep-both  the first free "x (n).txt" is chosen (HEAD) at begin, the key
//              the file completes under; if another process takes that key
//              before the commit, a HEAD at commit refuses the file
//              (kNameExists) rather than overwrite it.
// Under refuse and keep-both the completion (or the empty file's PUT) also
// carries If-None-Match: *, which a store that has conditional writes
// answers 412 when the key exists; one that answers 501 is not asked again.
//
// removeCommitted deletes the object only while a HEAD shows the ETag this
// store committed (a HEAD then a DELETE: not atomic either). The sweep lists
// the multipart uploads under the prefix and aborts those begun longer ago
// than the grace (a writer that crashed, or was killed, left them).

#include <string>
#include <vector>

#include "storage/file_names.h"
#include "storage/s3/s3_client.h"
#include "storage/s3/s3_name_claim.h"
#include "storage/s3/s3_names.h"
#include "storage/s3/s3_part_sender.h"
#include "storage/s3/s3_parts.h"
#include "storage/s3/s3_settings.h"
#include "storage/store.h"

namespace parcelmoor {

struct S3StoreOptions {
  S3Settings s3;
  OnExists onExists = OnExists::kReplace;
};

class S3Store final : public Store {
 public:
  // A store in `bucket`; every directory it is given names that bucket.
  S3Store(std::string bucket, S3StoreOptions options);
  // Aborts every upload not yet committed.
  ~S3Store() override;

  StoreError begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                   StoreFile* file) override;
  StoreError write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) override;
  StoreError finish(Ticket ticket) override;
  bool abandon(Ticket ticket) noexcept override;
  std::vector<StoreError> commit(std::span<const Ticket> tickets) override;
  std::string finalPath(Ticket ticket) const override;
  bool removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept override;
  std::vector<std::string> sweep(const std::string& directory) override;

  // What the last failed request said (the store's code and message, or
  // the transport's error, and the request), for the operator's log; empty
  // when none failed.
  std::string lastFailure() const override { return lastFailure_; }

 private:
  enum class State { kWriting, kFinished, kCommitted, kGone };
  struct Entry {
    std::string key;
    std::string uploadId;  // empty until the upload begins
    PartBuffer buffer;   // the part being received
    PartBuffer sending;  // the part travelling (s3_part_sender.h)
    std::vector<std::string> partETags;
    std::vector<std::string> partMd5s;
    S3NameClaim claim;  // the key's claim (s3_name_claim.h), while one is held
    std::string committedETag;
    State state = State::kWriting;
  };

  // Sends `request`, remembering why it failed (unless with 404).
  S3Answer send(const S3Request& request);
  // Sends the request that makes the object appear; under refuse and
  // keep-both with If-None-Match: *, so that a store that takes conditional
  // writes answers 412 rather than replace an object of the key.
  S3Answer sendUnlessTaken(S3Request request);
  // Begins the entry's multipart upload, once.
  StoreError beginUpload(Entry& entry);
  // Starts sending the buffered part (after the one travelling arrived)
  // and starts receiving the next one.
  StoreError sendPart(Entry& entry);
  // Waits for the entry's part travelling, if any, and checks its answer.
  StoreError awaitPart(Entry& entry) noexcept;
  // Under keep-both: the first free key of the entry's name, claimed.
  StoreError chooseFreeKey(Entry& entry);
  // Whether `key` names an object (HEAD); `error` set when none could tell.
  bool exists(const std::string& key, StoreError& error);
  // Completes one finished entry (a PUT when it is empty).
  StoreError commitOne(Entry& entry);
  StoreError completeUpload(Entry& entry);
  StoreError putEmpty(Entry& entry);
  // Keeps, or takes at commit, the claim on the entry's key.
  StoreError claimForCommit(Entry& entry);
  // What a claim that was not taken means: `whenHeld` when another holds
  // it, the coordinator unreachable when it did not answer.
  StoreError claimFailure(ClaimResult result, StoreError whenHeld);
  Coordinator* coordinator() const { return options_.s3.coordinator.get(); }

  std::string bucket_;
  S3StoreOptions options_;
  S3Client client_;
  PartSender sender_;
  std::vector<Entry> entries_;
  std::string lastFailure_;
};

}  // namespace parcelmoor
