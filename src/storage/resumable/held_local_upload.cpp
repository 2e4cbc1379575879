#include "storage/resumable/held_local_upload.h"

#include <unistd.h>

#include <cerrno>

#include "storage/resumable/local_resumable_store.h"

namespace parcelmoor {
namespace {

// With sync, write-back of a request's bytes starts every this many, so
// that the disk writes while the rest arrives and the sync at the save has
// little left to wait for.
constexpr int64_t kWritebackEvery = int64_t{2} << 20;

}  // namespace

HeldLocalUpload::HeldLocalUpload(LocalResumableStore& store, std::string id, ResumablePaths paths,
                                 ResumableData data, ResumableState state)
    : store_(store),
      id_(std::move(id)),
      paths_(std::move(paths)),
      data_(std::move(data)),
      state_(std::move(state)),
      digest_(store_.takeDigest(id_, state_.offset)) {}

HeldLocalUpload::~HeldLocalUpload() {
  if (appended_ == 0 && !finished_ && !state_.finished()) store_.keepDigest(id_, state_.offset, std::move(digest_));
}

StoreError HeldLocalUpload::append(std::span<const uint8_t> bytes) {
  if (!data_.writeAt(state_.offset + appended_, bytes)) return StoreErrorFromErrno(errno);
  if (digest_) digest_->update(bytes);
  appended_ += static_cast<int64_t>(bytes.size());
  if (store_.options().sync && appended_ - writtenBack_ >= kWritebackEvery) {
    data_.startWriteback(state_.offset + writtenBack_, appended_ - writtenBack_);
    writtenBack_ = appended_;
  }
  return {};
}

void HeldLocalUpload::dropAppended() noexcept {
  if (appended_ > 0) digest_.reset();  // it has taken in bytes that no longer count
  data_.truncate(state_.offset);
  appended_ = writtenBack_ = 0;
}

StoreError HeldLocalUpload::save(const ResumableState& state) {
  if (appended_ > 0 && store_.options().sync && !data_.sync()) return StoreErrorFromErrno(errno);
  if (!ReplaceFileAtomically(paths_.info, store_.seal(state), store_.options().sync)) return StoreErrorFromErrno(errno);
  // A save below what was written (an offset taken back) leaves the
  // digest counting bytes that no longer count.
  if (state.offset != state_.offset + appended_) digest_.reset();
  state_ = state;
  appended_ = writtenBack_ = 0;
  return {};
}

FinishedBytes& HeldLocalUpload::finishedBytes() {
  std::string sha256;
  if (digest_ && state_.finished() && appended_ == 0) sha256 = digest_->finishHex();
  digest_.reset();
  finished_.emplace(paths_.data, state_.length, std::move(sha256));
  return *finished_;
}

StoreError HeldLocalUpload::end(const ResumableState& final, std::string_view report) {
  if (!ReplaceFileAtomically(paths_.report, report, store_.options().sync)) return StoreErrorFromErrno(errno);
  ::unlink(paths_.data.c_str());
  const bool sync = store_.options().sync;
  if (!ReplaceFileAtomically(paths_.info, store_.seal(final), sync)) return StoreErrorFromErrno(errno);
  state_ = final;
  return {};
}

void HeldLocalUpload::remove() noexcept {
  ::unlink(paths_.data.c_str());
  ::unlink(paths_.report.c_str());
  ::unlink(paths_.info.c_str());
}

}  // namespace parcelmoor
