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
// One address is not one client on every network: an IPv6 host may hold a
// whole /64, and a crowd of hosts may sit in one IPv4 /24. So besides the
// cap per address there is a cap per address prefix (`maxPerPrefix`
// uploads of the addresses sharing their first `prefixBitsV4` or
// `prefixBitsV6` bits); a client at either cap waits, and is refused
// kClientFull past the bounds.
//
// A freed slot goes to the longest-waiting upload that may take it: one
// whose client is at its own cap is passed over, not the others behind it.
//
// Slots held by uploads that trickle would still starve everyone else, so
// a waiting upload may take one back (ChooseToReclaim): of the running
// uploads whose end would let it run, the one furthest below the fair rate
// gives its slot up.
//
// Pure bookkeeping with no clock of its own and no I/O; not thread-safe (the
// event loop owns it).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace parcelmoor::httpd {

class UploadAdmission {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = uint64_t;  // the caller's name for a waiting upload

  struct Limits {
    int maxRunning = 64;
    int maxPerClient = 4;
    int maxPerPrefix = 16;
    int prefixBitsV4 = 24;
    int prefixBitsV6 = 64;
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

  // A running upload as the caller measured it.
  struct Running {
    Id id;
    std::string client;
    // Its body's average rate in bytes a second since it took its slot;
    // none while it is too young to be judged.
    std::optional<double> rate;
  };
  // Which of `running` gives its slot up (`from`), and for which waiting
  // upload (`to`), or none. Waiters are taken in arrival order, passing over
  // one already promised a slot, one at its own address's cap (it holds its
  // share) and one whose address runs an upload below the fair rate itself
  // or is among `slowClients` (one made to give a slot up lately): a slow
  // client takes no slot from another. For a waiter, the uploads
  // whose end would let it run are those of its prefix when its prefix is
  // at its cap, else every one when all slots are held; of these, the one
  // with the lowest rate below `fairRate` gives its slot up.
  struct Reclaim {
    Id from;
    Id to;
  };
  std::optional<Reclaim> ChooseToReclaim(const std::vector<Running>& running, double fairRate,
                                         const std::unordered_set<std::string>& slowClients = {}) const;
  // The waiting upload `to` gets the next freed slot it may take before
  // any waiter ahead of it.
  void Promise(Id to);

  // The prefix an address counts under ("2001:db8:1:2::/64",
  // "192.0.2.0/24"); a client that is not an address is its own prefix.
  std::string PrefixOf(const std::string& client) const;

  int running() const { return running_; }
  size_t waiting() const { return waiters_.size(); }

 private:
  struct Waiter {
    Id id;
    std::string client;
    Clock::time_point deadline;
    bool promised = false;  // a slot is being given up for it
  };
  bool ClientHasRoom(const std::string& client) const;
  bool AddressHasRoom(const std::string& client) const;
  bool PrefixHasRoom(const std::string& prefix) const;
  Verdict RefusalFor(const std::string& client) const;
  void Take(const std::string& client);

  Limits limits_;
  int running_ = 0;
  std::unordered_map<std::string, int> runningByClient_;
  std::unordered_map<std::string, int> runningByPrefix_;
  std::unordered_map<std::string, size_t> waitingByClient_;
  std::list<Waiter> waiters_;  // in arrival order, so deadlines ascend
};

}  // namespace parcelmoor::httpd
