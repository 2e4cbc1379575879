#include "host/host_part_policy.h"

namespace parcelmoor {

HostPartPolicy::HostPartPolicy(const UploadSettings& settings)
    : maxFileBytes_(settings.maxFileBytes), deleteOverLimit_(settings.deleteOverLimit) {}

PartDecision HostPartPolicy::decide(const PartHeaders& part) {
  PartDecision decision;
  decision.action = PartDecision::Action::kStore;
  // A text field's length is the component's own limit (MaxFieldSize): the
  // file limit says nothing about it.
  if (part.namesFile) {
    decision.maxFileBytes = maxFileBytes_;
    decision.deleteOverLimit = deleteOverLimit_;
  }
  return decision;
}

}  // namespace parcelmoor
