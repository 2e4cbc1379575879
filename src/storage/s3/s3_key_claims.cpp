// One process-wide set of claimed keys.
#include "storage/s3/s3_key_claims.h"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

namespace parcelmoor {
namespace {

struct Claims {
  std::mutex mutex;
  std::condition_variable released;
  std::unordered_set<std::string> keys;
};

Claims& TheClaims() {
  static Claims claims;
  return claims;
}

}  // namespace

bool TryClaimKey(const std::string& key) {
  Claims& claims = TheClaims();
  std::lock_guard lock(claims.mutex);
  return claims.keys.insert(key).second;
}

void ClaimKey(const std::string& key) {
  Claims& claims = TheClaims();
  std::unique_lock lock(claims.mutex);
  claims.released.wait(lock, [&] { return !claims.keys.contains(key); });
  claims.keys.insert(key);
}

void ReleaseKey(const std::string& key) noexcept {
  Claims& claims = TheClaims();
  {
    std::lock_guard lock(claims.mutex);
    claims.keys.erase(key);
  }
  claims.released.notify_all();
}

}  // namespace parcelmoor
