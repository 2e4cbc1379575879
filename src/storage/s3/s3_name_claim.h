#pragma once
// A claim on one key of the bucket while a file is stored under it: within
// this process always (s3_key_claims.h), and across instances too when a
// coordinator is given (coordinator/coordinator.h). The store takes it
// before it completes under the key and frees it after, so that a second
// writer, here or on another instance, sees the key taken: under keep-both
// it chooses the next name, under refuse it waits and then finds the object,
// under replace it is refused as busy.

#include <chrono>
#include <string>

#include "storage/coordinator/coordinator.h"

namespace parcelmoor {

class S3NameClaim {
 public:
  // Takes `name` unless another holds it, here or on another instance.
  ClaimResult tryTake(Coordinator* coordinator, const std::string& name);
  // Takes `name`, waiting while another holds it: in this process as long
  // as it takes, on another instance up to `patience`.
  ClaimResult take(Coordinator* coordinator, const std::string& name, std::chrono::milliseconds patience);
  // Renews the claim across instances once a third of its lifetime has gone
  // by (always when `now`): kTaken while it is still this one's.
  ClaimResult keep(bool now = false);
  void release() noexcept;
  bool held() const { return !name_.empty(); }

 private:
  ClaimResult takeAcross(Coordinator* coordinator, const std::string& name);

  Coordinator* coordinator_ = nullptr;
  std::string name_;   // empty: none held
  std::string token_;  // the coordinator's claim, when one is held
  std::chrono::steady_clock::time_point renewed_;
};

}  // namespace parcelmoor
