// Claims as Redis keys: SET NX PX to take, a compare-then-act script to
// renew and to free.
#include "storage/coordinator/coordinator.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>

namespace parcelmoor {
namespace {

// KEYS[1] the claim, ARGV[1] the token, ARGV[2] the lifetime in ms.
constexpr const char* kRenewScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('pexpire', KEYS[1], ARGV[2]) end return 0";
constexpr const char* kReleaseScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end return 0";

std::string RandomId() {
  unsigned char bytes[12];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::to_string(::getpid());
  std::string id;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    id += hex;
  }
  return id;
}

}  // namespace

Coordinator::Coordinator(RedisAddress address, std::chrono::milliseconds timeout)
    : link_(std::move(address), timeout), processId_(RandomId()) {}

std::string Coordinator::newToken() {
  std::lock_guard lock(mutex_);
  return processId_ + "." + std::to_string(++count_);
}

std::string Coordinator::lastFailure() const {
  std::lock_guard lock(mutex_);
  return lastFailure_;
}

ClaimResult Coordinator::tryClaim(const std::string& name, std::string& token) {
  token = newToken();
  const RedisReply reply =
      link_.command({"SET", keyOf(name), token, "NX", "PX", std::to_string(kClaimLifetime.count())});
  if (!reply.ok) {
    std::lock_guard lock(mutex_);
    lastFailure_ = reply.failure;
    return ClaimResult::kNoAnswer;
  }
  return reply.nil ? ClaimResult::kHeldByAnother : ClaimResult::kTaken;
}

ClaimResult Coordinator::renew(const std::string& name, const std::string& token) {
  const RedisReply reply =
      link_.command({"EVAL", kRenewScript, "1", keyOf(name), token, std::to_string(kClaimLifetime.count())});
  if (!reply.ok) {
    std::lock_guard lock(mutex_);
    lastFailure_ = reply.failure;
    return ClaimResult::kNoAnswer;
  }
  return reply.integer == 1 ? ClaimResult::kTaken : ClaimResult::kHeldByAnother;
}

void Coordinator::release(const std::string& name, const std::string& token) noexcept {
  try {
    link_.command({"EVAL", kReleaseScript, "1", keyOf(name), token});
  } catch (...) {
    // Left to expire.
  }
}

}  // namespace parcelmoor
