#include "http/upload_admission.h"

namespace parcelmoor::httpd {

bool UploadAdmission::ClientHasRoom(const std::string& client) const {
  auto found = runningByClient_.find(client);
  return found == runningByClient_.end() || found->second < limits_.maxPerClient;
}

// A client at its own cap is told so (429): the other clients' uploads are
// not what stops it.
UploadAdmission::Verdict UploadAdmission::RefusalFor(const std::string& client) const {
  return ClientHasRoom(client) ? Verdict::kServerFull : Verdict::kClientFull;
}

void UploadAdmission::Take(const std::string& client) {
  ++running_;
  ++runningByClient_[client];
}

UploadAdmission::Verdict UploadAdmission::Ask(const std::string& client, Id id, Clock::time_point now,
                                              bool closed) {
  if (closed) return Verdict::kServerFull;
  // Whenever a slot frees, the first waiter that may take it does: a free
  // slot here is one no waiter could use, so taking it jumps no queue.
  if (running_ < limits_.maxRunning && ClientHasRoom(client)) {
    Take(client);
    return Verdict::kRun;
  }
  size_t& mine = waitingByClient_[client];
  if (waiters_.size() >= limits_.maxWaiting || mine >= limits_.maxWaitingPerClient || limits_.maxWait.count() <= 0) {
    if (mine == 0) waitingByClient_.erase(client);
    return RefusalFor(client);
  }
  ++mine;
  waiters_.push_back(Waiter{id, client, now + limits_.maxWait});
  return Verdict::kWait;
}

std::vector<UploadAdmission::Id> UploadAdmission::Free(const std::string& client) {
  --running_;
  auto found = runningByClient_.find(client);
  if (found != runningByClient_.end() && --found->second <= 0) runningByClient_.erase(found);
  std::vector<Id> admitted;
  for (auto it = waiters_.begin(); it != waiters_.end() && running_ < limits_.maxRunning;) {
    if (!ClientHasRoom(it->client)) {
      ++it;
      continue;
    }
    Take(it->client);
    if (--waitingByClient_[it->client] == 0) waitingByClient_.erase(it->client);
    admitted.push_back(it->id);
    it = waiters_.erase(it);
  }
  return admitted;
}

std::vector<std::pair<UploadAdmission::Id, UploadAdmission::Verdict>> UploadAdmission::Expire(
    Clock::time_point now) {
  std::vector<std::pair<Id, Verdict>> refused;
  while (!waiters_.empty() && waiters_.front().deadline <= now) {
    const Waiter& w = waiters_.front();
    refused.emplace_back(w.id, RefusalFor(w.client));
    if (--waitingByClient_[w.client] == 0) waitingByClient_.erase(w.client);
    waiters_.pop_front();
  }
  return refused;
}

std::vector<UploadAdmission::Id> UploadAdmission::WithdrawAll() {
  std::vector<Id> all;
  for (const Waiter& w : waiters_) all.push_back(w.id);
  waiters_.clear();
  waitingByClient_.clear();
  return all;
}

std::optional<UploadAdmission::Clock::time_point> UploadAdmission::NextDeadline() const {
  if (waiters_.empty()) return std::nullopt;
  return waiters_.front().deadline;
}

}  // namespace parcelmoor::httpd
