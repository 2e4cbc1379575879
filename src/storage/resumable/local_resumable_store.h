#pragma once
// Resumable uploads kept in files of an upload directory's private folder,
// under "resumable/", named by the upload's random id: ID.data (the bytes
// so far), ID.info (the sealed state) and, once the upload has ended,
// ID.report (its answer). The key that seals the states is the folder's
// file "key", made at the first start. No client can name anything there.
//
// The state is replaced whole, by a rename, so a reader always sees an old
// or a new one. With sync, the bytes are synced before the state that
// counts them, and the state before a save returns: after a crash every
// saved byte is there, and bytes past the saved offset (written, never
// acknowledged) are cut off when the upload is next held. An upload is
// held through an open-file-description lock on its data file, which the
// kernel drops when the holder dies.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "storage/resumable/resumable_store.h"
#include "storage/sha256_stream.h"

namespace parcelmoor {

struct LocalResumableOptions {
  bool sync = true;
  // Each upload's SHA-256 is carried from one request to the next, so that
  // its last byte need not be followed by a read of the whole file.
  bool checksums = true;
  // Files of no upload (a creation cut off by a crash) older than this go.
  std::chrono::seconds orphanAge{24 * 3600};
};

class LocalResumableStore final : public ResumableStore {
 public:
  // `uploadRoot`: the upload directory (a POSIX path) whose private folder
  // keeps the uploads. Prepares it when it can.
  LocalResumableStore(std::string uploadRoot, LocalResumableOptions options);

  StoreError prepare() override;
  StoreError create(const ResumableState& state, std::string* id) override;
  std::optional<ResumableState> peek(const std::string& id) override;
  std::unique_ptr<HeldUpload> hold(const std::string& id, HoldFailure* why) override;
  std::optional<std::string> report(const std::string& id) override;
  void forEach(const Visit& visit) override;
  bool removeIfIdle(const std::string& id) override;

  // For the held upload: the sealed text of a state, and the digest
  // carried between requests (taken at `offset`, kept at the new one).
  std::string seal(const ResumableState& state) const;
  std::unique_ptr<Sha256Stream> takeDigest(const std::string& id, int64_t offset);
  void keepDigest(const std::string& id, int64_t offset, std::unique_ptr<Sha256Stream> digest);
  const LocalResumableOptions& options() const { return options_; }

 private:
  std::optional<ResumableState> read(const std::string& infoPath);

  const std::string uploadRoot_;
  const std::string directory_;  // uploadRoot_/.parcelmoor/resumable
  const LocalResumableOptions options_;
  mutable std::mutex mutex_;  // guards what follows
  std::string key_;   // the sealing key, once read or made
  std::map<std::string, std::pair<int64_t, std::unique_ptr<Sha256Stream>>> digests_;
};

}  // namespace parcelmoor
