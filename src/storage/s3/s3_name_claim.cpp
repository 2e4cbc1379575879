// A key claimed in the process first (no round trip for a clash between two
// uploads of one instance), then in the coordinator.
#include "storage/s3/s3_name_claim.h"

#include <thread>

#include "storage/s3/s3_key_claims.h"

namespace parcelmoor {
namespace {

// How often a claim held on another instance is asked for again.
constexpr std::chrono::milliseconds kRetryEvery{25};

}  // namespace

ClaimResult S3NameClaim::takeAcross(Coordinator* coordinator, const std::string& name) {
  coordinator_ = coordinator;
  name_ = name;
  renewed_ = std::chrono::steady_clock::now();
  if (coordinator == nullptr) return ClaimResult::kTaken;
  const ClaimResult result = coordinator->tryClaim(name, token_);
  if (result != ClaimResult::kTaken) token_.clear();
  return result;
}

ClaimResult S3NameClaim::tryTake(Coordinator* coordinator, const std::string& name) {
  if (!TryClaimKey(name)) return ClaimResult::kHeldByAnother;
  const ClaimResult result = takeAcross(coordinator, name);
  if (result != ClaimResult::kTaken) release();
  return result;
}

ClaimResult S3NameClaim::take(Coordinator* coordinator, const std::string& name, std::chrono::milliseconds patience) {
  ClaimKey(name);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  ClaimResult result = takeAcross(coordinator, name);
  while (result == ClaimResult::kHeldByAnother && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kRetryEvery);
    result = takeAcross(coordinator, name);
  }
  if (result != ClaimResult::kTaken) release();
  return result;
}

ClaimResult S3NameClaim::keep(bool now) {
  if (coordinator_ == nullptr || token_.empty()) return held() ? ClaimResult::kTaken : ClaimResult::kHeldByAnother;
  const auto at = std::chrono::steady_clock::now();
  if (!now && at - renewed_ < Coordinator::kClaimLifetime / 3) return ClaimResult::kTaken;
  const ClaimResult result = coordinator_->renew(name_, token_);
  if (result == ClaimResult::kTaken) renewed_ = at;
  return result;
}

void S3NameClaim::release() noexcept {
  if (name_.empty()) return;
  if (coordinator_ != nullptr && !token_.empty()) coordinator_->release(name_, token_);
  ReleaseKey(name_);
  name_.clear();
  token_.clear();
  coordinator_ = nullptr;
}

}  // namespace parcelmoor
