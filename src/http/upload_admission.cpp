#include "http/upload_admission.h"

#include <algorithm>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>

namespace parcelmoor::httpd {

std::string UploadAdmission::PrefixOf(const std::string& client) const {
  namespace ip = boost::asio::ip;
  boost::system::error_code ec;
  const ip::address address = ip::make_address(client, ec);
  if (ec) return client;
  // An IPv4 address a dual-stack socket reports as ::ffff:a.b.c.d counts
  // as the IPv4 address it is.
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    const ip::address_v4 v4 = ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return ip::network_v4(v4, limits_.prefixBitsV4).canonical().to_string();
  }
  if (address.is_v4()) return ip::network_v4(address.to_v4(), limits_.prefixBitsV4).canonical().to_string();
  return ip::network_v6(address.to_v6(), limits_.prefixBitsV6).canonical().to_string();
}

bool UploadAdmission::AddressHasRoom(const std::string& client) const {
  auto found = runningByClient_.find(client);
  return found == runningByClient_.end() || found->second < limits_.maxPerClient;
}

bool UploadAdmission::PrefixHasRoom(const std::string& prefix) const {
  auto found = runningByPrefix_.find(prefix);
  return found == runningByPrefix_.end() || found->second < limits_.maxPerPrefix;
}

bool UploadAdmission::ClientHasRoom(const std::string& client) const {
  return AddressHasRoom(client) && PrefixHasRoom(PrefixOf(client));
}

// A client at its own cap is told so (429): the other clients' uploads are
// not what stops it.
UploadAdmission::Verdict UploadAdmission::RefusalFor(const std::string& client) const {
  return ClientHasRoom(client) ? Verdict::kServerFull : Verdict::kClientFull;
}

void UploadAdmission::Take(const std::string& client) {
  ++running_;
  ++runningByClient_[client];
  ++runningByPrefix_[PrefixOf(client)];
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
  auto prefix = runningByPrefix_.find(PrefixOf(client));
  if (prefix != runningByPrefix_.end() && --prefix->second <= 0) runningByPrefix_.erase(prefix);
  std::vector<Id> admitted;
  // Waiters promised a slot first, then everyone in arrival order.
  for (bool promisedOnly : {true, false}) {
    for (auto it = waiters_.begin(); it != waiters_.end() && running_ < limits_.maxRunning;) {
      if ((promisedOnly && !it->promised) || !ClientHasRoom(it->client)) {
        ++it;
        continue;
      }
      Take(it->client);
      if (--waitingByClient_[it->client] == 0) waitingByClient_.erase(it->client);
      admitted.push_back(it->id);
      it = waiters_.erase(it);
    }
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

void UploadAdmission::Promise(Id to) {
  for (Waiter& w : waiters_) {
    if (w.id == to) w.promised = true;
  }
}

std::optional<UploadAdmission::Reclaim> UploadAdmission::ChooseToReclaim(
    const std::vector<Running>& running, double fairRate, const std::unordered_set<std::string>& slowClients) const {
  auto slow = [fairRate](const Running& r) { return r.rate && *r.rate < fairRate; };
  for (const Waiter& w : waiters_) {
    // A client at its own address's cap waits for its own uploads.
    if (w.promised || !AddressHasRoom(w.client) || slowClients.contains(w.client)) continue;
    if (std::any_of(running.begin(), running.end(), [&](const Running& r) { return r.client == w.client && slow(r); })) {
      continue;
    }
    const std::string prefix = PrefixOf(w.client);
    const bool prefixFull = !PrefixHasRoom(prefix);
    if (!prefixFull && running_ < limits_.maxRunning) continue;  // a slot is free for it already
    const Running* slowest = nullptr;
    for (const Running& r : running) {
      if (!slow(r) || (prefixFull && PrefixOf(r.client) != prefix)) continue;
      if (!slowest || *r.rate < *slowest->rate) slowest = &r;
    }
    if (slowest) return Reclaim{slowest->id, w.id};
  }
  return std::nullopt;
}

std::optional<UploadAdmission::Clock::time_point> UploadAdmission::NextDeadline() const {
  if (waiters_.empty()) return std::nullopt;
  return waiters_.front().deadline;
}

}  // namespace parcelmoor::httpd
