#pragma once
// What must be one across every server instance on one store, kept in
// Redis (`serve --coordinator redis://HOST:PORT[/DB]`): the claims on the
// names files are being stored under, so that two instances never complete
// two files under one key.
//
// A claim is one Redis key, "parcelmoor:claim:" + NAME, holding the
// claimer's token (this process's random id and a count), set with NX and
// an expiry: the first SET wins, the others see it taken. The holder renews
// it while it writes and deletes it after its commit, both only while the
// key still holds its own token (a Lua script, one step in Redis), so that
// a claim that expired and was taken by another is never renewed or freed
// by the one that lost it. A holder that dies leaves its claim to expire.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "storage/coordinator/redis_link.h"

namespace parcelmoor {

enum class ClaimResult { kTaken, kHeldByAnother, kNoAnswer };

class Coordinator {
 public:
  // How long a claim lasts unless renewed.
  static constexpr std::chrono::milliseconds kClaimLifetime{120'000};

  explicit Coordinator(RedisAddress address, std::chrono::milliseconds timeout = std::chrono::milliseconds{5'000});

  // Empty when the coordinator answers; else why not (start-up check).
  std::string ping() { return link_.ping(); }

  // Takes `name` for a new token, written to `token`, unless another holds it.
  ClaimResult tryClaim(const std::string& name, std::string& token);
  // Renews the claim while `token` holds it; kHeldByAnother when it does not
  // (it expired, and another may have taken it since).
  ClaimResult renew(const std::string& name, const std::string& token);
  // Frees the claim, when `token` still holds it.
  void release(const std::string& name, const std::string& token) noexcept;

  // What the last failed command said, for the operator's log.
  std::string lastFailure() const;

 private:
  std::string keyOf(const std::string& name) const { return "parcelmoor:claim:" + name; }
  std::string newToken();

  RedisLink link_;
  std::string processId_;
  mutable std::mutex mutex_;  // guards count_ and lastFailure_
  unsigned long long count_ = 0;
  std::string lastFailure_;
};

}  // namespace parcelmoor
