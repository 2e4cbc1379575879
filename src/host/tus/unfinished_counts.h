#pragma once
// How many resumable uploads are unfinished, per client and in all, so
// that no client, and no crowd of them, can fill the disk with uploads it
// never finishes.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace parcelmoor {

class UnfinishedCounts {
 public:
  // 0 for `maxTotal`: no cap on all clients together.
  UnfinishedCounts(int32_t maxPerClient, int32_t maxTotal) : maxPerClient_(maxPerClient), maxTotal_(maxTotal) {}

  enum class Taken { kTaken, kClientFull, kServerFull };
  // Counts one more upload for `client`, unless a cap is reached.
  Taken take(const std::string& client);
  // Counts one found at start, whatever the caps.
  void count(const std::string& client);
  // One upload of `client` is no longer unfinished.
  void release(const std::string& client);

 private:
  const int32_t maxPerClient_;
  const int32_t maxTotal_;
  std::mutex mutex_;
  std::map<std::string, int32_t> byClient_;
  int32_t total_ = 0;
};

}  // namespace parcelmoor
