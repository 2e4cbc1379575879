#pragma once
// A Store around another that fails chosen calls, for fault tests: the Nth
// call of one operation, or every call from the Nth on, returns a given
// StoreError instead of reaching the store inside. Each file of a commit
// counts as one call, so a test can fail the commit of one file among many.
// A failed begin, write or finish never reaches the inner store (its file
// stays as it was, for the writer to abandon); a failed abandon or
// removeCommitted leaves the file where it is, as a delete that failed.

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "storage/store.h"

namespace parcelmoor {

enum class StoreOperation { kBegin, kWrite, kFinish, kCommit, kAbandon, kRemoveCommitted };

struct StoreFault {
  StoreOperation operation = StoreOperation::kBegin;
  int nth = 1;             // the first call that fails, counted from 1 (0: none)
  bool onwards = false;    // every later call of the operation fails too
  StoreError error{StoreCause::kIo, EIO};  // returned by begin, write, finish and commit
};

class FailingStore final : public Store {
 public:
  FailingStore(std::shared_ptr<Store> inner, StoreFault fault) : inner_(std::move(inner)), fault_(fault) {}

  StoreError begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                   StoreFile* file) override;
  StoreError write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) override;
  StoreError finish(Ticket ticket) override;
  bool abandon(Ticket ticket) noexcept override;
  std::vector<StoreError> commit(std::span<const Ticket> tickets) override;
  std::string finalPath(Ticket ticket) const override { return inner_->finalPath(ticket); }
  bool removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept override;
  std::vector<std::string> sweep(const std::string& directory) override { return inner_->sweep(directory); }
  std::string lastFailure() const override { return inner_->lastFailure(); }

  // Calls of `operation` so far, failed ones included.
  int calls(StoreOperation operation) const { return calls_[static_cast<size_t>(operation)]; }

 private:
  // Counts a call of `operation`; true when it is to fail.
  bool fails(StoreOperation operation) noexcept;

  std::shared_ptr<Store> inner_;
  StoreFault fault_;
  std::array<int, 6> calls_{};
};

}  // namespace parcelmoor
