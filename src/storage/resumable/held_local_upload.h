#pragma once
// One upload of a LocalResumableStore, held by the request that writes it:
// the lock on its data file lasts as long as this object.

#include <memory>
#include <optional>
#include <string>

#include "storage/resumable/resumable_files.h"
#include "storage/resumable/resumable_store.h"
#include "storage/resumable/spool_bytes.h"
#include "storage/sha256_stream.h"

namespace parcelmoor {

class LocalResumableStore;

class HeldLocalUpload final : public HeldUpload {
 public:
  HeldLocalUpload(LocalResumableStore& store, std::string id, ResumablePaths paths, ResumableData data,
                  ResumableState state);
  // Carries the digest on to the next request, when it still counts every
  // saved byte.
  ~HeldLocalUpload() override;

  const ResumableState& state() const override { return state_; }
  StoreError append(std::span<const uint8_t> bytes) override;
  void dropAppended() noexcept override;
  StoreError save(const ResumableState& state) override;
  FinishedBytes& finishedBytes() override;
  StoreError end(const ResumableState& final, std::string_view report) override;
  void remove() noexcept override;

 private:
  LocalResumableStore& store_;
  const std::string id_;
  const ResumablePaths paths_;
  ResumableData data_;
  ResumableState state_;
  int64_t appended_ = 0;     // bytes past state_.offset written by this hold
  int64_t writtenBack_ = 0;  // of those, already sent on to the disk
  // The SHA-256 of every byte up to state_.offset + appended_; null when
  // not carried (checksums off, or lost with a dropped piece).
  std::unique_ptr<Sha256Stream> digest_;
  std::optional<SpoolBytes> finished_;
};

}  // namespace parcelmoor
