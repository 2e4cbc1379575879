// Failures on chosen calls, counted per operation.
#include "storage/failing_store.h"

namespace parcelmoor {

bool FailingStore::fails(StoreOperation operation) noexcept {
  const int call = ++calls_[static_cast<size_t>(operation)];
  return operation == fault_.operation && (call == fault_.nth || (fault_.onwards && call > fault_.nth));
}

StoreError FailingStore::begin(const std::string& directory, const std::string& fileName, Ticket* ticket,
                               StoreFile* file) {
  if (fails(StoreOperation::kBegin)) return fault_.error;
  return inner_->begin(directory, fileName, ticket, file);
}

StoreError FailingStore::write(Ticket ticket, std::span<const uint8_t> bytes, size_t* written) {
  *written = 0;
  if (fails(StoreOperation::kWrite)) return fault_.error;
  return inner_->write(ticket, bytes, written);
}

StoreError FailingStore::finish(Ticket ticket) {
  if (fails(StoreOperation::kFinish)) return fault_.error;
  return inner_->finish(ticket);
}

bool FailingStore::abandon(Ticket ticket) noexcept {
  if (fails(StoreOperation::kAbandon)) return false;
  return inner_->abandon(ticket);
}

std::vector<StoreError> FailingStore::commit(std::span<const Ticket> tickets) {
  std::vector<StoreError> results(tickets.size());
  std::vector<Ticket> passed;
  std::vector<size_t> at;
  for (size_t i = 0; i < tickets.size(); ++i) {
    if (fails(StoreOperation::kCommit)) {
      results[i] = fault_.error;
      inner_->abandon(tickets[i]);  // a file that could not be committed is abandoned
    } else {
      passed.push_back(tickets[i]);
      at.push_back(i);
    }
  }
  if (passed.empty()) return results;
  const std::vector<StoreError> inner = inner_->commit(passed);
  for (size_t k = 0; k < at.size(); ++k) results[at[k]] = inner[k];
  return results;
}

bool FailingStore::removeCommitted(const std::string& finalPath, const FileIdentity& identity) noexcept {
  if (fails(StoreOperation::kRemoveCommitted)) return false;
  return inner_->removeCommitted(finalPath, identity);
}

}  // namespace parcelmoor
