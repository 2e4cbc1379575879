#pragma once
// Which uploads run, which wait for a slot, and which are refused.
//
// At most `maxRunning` uploads run at once, and at most `maxPerClient` of
// them for one client address, so that one client's slow uploads never take
// every slot. An upload that finds no slot for it waits, its body unread,
// instead of being refused at once: a burst of ordinary uploads (fifty
// browsers behind one address, each sending a few files) is then stored
// rather than answered 503 or 429, each waiting only as long as the uploads
// ahead of it take to read their bodies. The wait is bounded three ways: at
// most `maxWaiting` uploads wait, at most `maxWaitingPerClient` of one
// client, and none longer than `maxWait`; past any bound the upload is
// refused as before (kServerFull or kClientFull). A waiting upload costs a
// connection and a queue entry, no thread and no file, so a client that
// fills the queue with stalled uploads gains no slot it could not take by
// itself.
//
// A freed slot goes to the longest-waiting upload that may take it: one
// whose client is at its own cap is passed over, not the others behind it.
// Pure bookkeeping with no clock of its own and no I/O; not thread-safe (the
// event loop owns it).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace parcelmoor::httpd {

class UploadAdmission {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = uint64_t;  // the caller's name for a waiting upload

  struct Limits {
    int maxRunning = 64;
    int maxPerClient = 4;
    size_t maxWaiting = 256;
    size_t maxWaitingPerClient = 64;
    std::chrono::milliseconds maxWait{5'000};
  };
  enum class Verdict { kRun, kWait, kServerFull, kClientFull };

  explicit UploadAdmission(Limits limits) : limits_(limits) {}

  // An upload of `client` asks for a slot. kRun: it holds one now (give it
  // back with Free). kWait: it waits as `id` until Free hands it a slot or
  // Expire refuses it. Otherwise it is refused now. With `closed` (the
  // server is stopping) every upload is refused kServerFull.
  Verdict Ask(const std::string& client, Id id, Clock::time_point now, bool closed = false);
  // A running upload of `client` ends. Returns the waiting uploads that now
  // hold a slot, longest-waiting first.
  std::vector<Id> Free(const std::string& client);
  // Removes the uploads whose wait ran out by `now`, each with its refusal.
  std::vector<std::pair<Id, Verdict>> Expire(Clock::time_point now);
  // Removes every waiting upload (the server is stopping); returns them.
  std::vector<Id> WithdrawAll();
  // When the earliest wait runs out; none while nobody waits.
  std::optional<Clock::time_point> NextDeadline() const;

  int running() const { return running_; }
  size_t waiting() const { return waiters_.size(); }

 private:
  struct Waiter {
    Id id;
    std::string client;
    Clock::time_point deadline;
  };
  bool ClientHasRoom(const std::string& client) const;
  Verdict RefusalFor(const std::string& client) const;
  void Take(const std::string& client);

  Limits limits_;
  int running_ = 0;
  std::unordered_map<std::string, int> runningByClient_;
  std::unordered_map<std::string, size_t> waitingByClient_;
  std::list<Waiter> waiters_;  // in arrival order, so deadlines ascend
};

}  // namespace parcelmoor::httpd
