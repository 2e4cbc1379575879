#pragma once
// The part policy of size limits alone: every part is stored, a file part
// under a limit of 64-bit bytes (none: no limit), cut at it or deleted past
// it. The upload object decides by one of these, built from MaxFileSize and
// DeleteMaxFile, when its host set no policy; a host may build one from its
// own limit, or ask one from a policy of its own for the limits.

#include <cstdint>
#include <optional>

#include "upload/part_policy.h"

namespace parcelmoor {

class LimitPolicy : public PartPolicy {
 public:
  LimitPolicy(std::optional<int64_t> maxFileBytes, bool deleteOverLimit)
      : maxFileBytes_(maxFileBytes), deleteOverLimit_(deleteOverLimit) {}

  PartDecision decide(const PartHeaders&) override {
    PartDecision decision;
    decision.action = PartDecision::Action::kStore;
    decision.maxFileBytes = maxFileBytes_;
    decision.deleteOverLimit = deleteOverLimit_;
    return decision;
  }

 private:
  std::optional<int64_t> maxFileBytes_;
  bool deleteOverLimit_;
};

}  // namespace parcelmoor
