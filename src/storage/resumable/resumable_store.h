#pragma once
// Where resumable uploads keep their bytes and their state between
// requests: the seam between the protocol, which only decides, and the
// place the bytes are. One implementation keeps them in files of the
// upload directory's private folder (local_resumable_store.h); another may
// keep them in an object store, with offsets computed from its parts and a
// lock held in another process. The protocol never touches either itself.
//
// Every call may come from any thread. An upload's bytes are written by the
// one request that holds it (hold()); the others are refused until it is
// let go, and so is a holder that died.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "storage/finished_bytes.h"
#include "storage/resumable/resumable_state.h"
#include "storage/store_error.h"

namespace parcelmoor {

// One upload held for one request: its state as the last holder saved it,
// and the right to write its bytes. Letting it go (the destructor) ends the
// hold; a holder that dies ends it too.
class HeldUpload {
 public:
  virtual ~HeldUpload() = default;
  // The state as saved, read under the hold.
  virtual const ResumableState& state() const = 0;
  // Appends `bytes` after the saved offset and what this hold appended so
  // far; they count once save() says so.
  virtual StoreError append(std::span<const uint8_t> bytes) = 0;
  // Forgets what this hold appended since its last save.
  virtual void dropAppended() noexcept = 0;
  // Makes `state` the saved one (its offset counting the appended bytes):
  // with sync, the bytes are durable before the state that counts them,
  // and the state before this returns.
  virtual StoreError save(const ResumableState& state) = 0;
  // The bytes of the whole upload, for the intake.
  // REQUIRES: every byte appended; the bytes stay until end() or remove().
  virtual FinishedBytes& finishedBytes() = 0;
  // The upload ended (stored, or refused for good): its bytes go, and its
  // state `final` stays until its expiry beside `report`, its final
  // answer, for GET.
  virtual StoreError end(const ResumableState& final, std::string_view report) = 0;
  // The upload goes altogether: bytes, state and report.
  virtual void remove() noexcept = 0;
};

class ResumableStore {
 public:
  virtual ~ResumableStore() = default;

  // Makes ready what uploads need (a folder that was removed is made
  // again); false with the system's error when it cannot.
  virtual StoreError prepare() = 0;
  // Creates an upload of `state` with no bytes yet; `*id` names it.
  virtual StoreError create(const ResumableState& state, std::string* id) = 0;
  // The saved state of `id`, without holding it (for HEAD); nullopt when
  // there is no such upload, or none this server wrote.
  virtual std::optional<ResumableState> peek(const std::string& id) = 0;

  enum class HoldFailure { kNone, kMissing, kBusy, kEnded };
  // Holds `id` for the calling request, without waiting: null when another
  // request holds it (kBusy), when it has ended and takes no bytes (kEnded)
  // or when there is no such upload (kMissing).
  virtual std::unique_ptr<HeldUpload> hold(const std::string& id, HoldFailure* why) = 0;
  // The final answer of an ended upload, as end() kept it.
  virtual std::optional<std::string> report(const std::string& id) = 0;

  // Each upload's state and whether it still takes bytes, for a count at
  // start or a sweep; an upload held by a request may be skipped.
  using Visit = std::function<void(const std::string& id, const ResumableState& state, bool unfinished)>;
  virtual void forEach(const Visit& visit) = 0;
  // Removes `id` when nobody holds it; true when it is gone.
  virtual bool removeIfIdle(const std::string& id) = 0;
};

}  // namespace parcelmoor
