#include "host/tus/unfinished_counts.h"

namespace parcelmoor {

UnfinishedCounts::Taken UnfinishedCounts::take(const std::string& client) {
  std::lock_guard lock(mutex_);
  if (maxTotal_ > 0 && total_ >= maxTotal_) return Taken::kServerFull;
  int32_t& mine = byClient_[client];
  if (mine >= maxPerClient_) return Taken::kClientFull;
  ++mine;
  ++total_;
  return Taken::kTaken;
}

void UnfinishedCounts::count(const std::string& client) {
  std::lock_guard lock(mutex_);
  ++byClient_[client];
  ++total_;
}

void UnfinishedCounts::release(const std::string& client) {
  std::lock_guard lock(mutex_);
  auto it = byClient_.find(client);
  if (it == byClient_.end()) return;
  if (--it->second <= 0) byClient_.erase(it);
  if (total_ > 0) --total_;
}

}  // namespace parcelmoor
