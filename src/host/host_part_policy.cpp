#include "host/host_part_policy.h"

namespace parcelmoor {

HostPartPolicy::HostPartPolicy(const UploadSettings& settings)
    : limits_(settings.maxFileBytes, settings.deleteOverLimit) {}

PartDecision HostPartPolicy::decide(const PartHeaders& part) {
  // A text field's length is the component's own limit (MaxFieldSize): the
  // file limit says nothing about it.
  if (!part.namesFile) return PartDecision{};
  return limits_.decide(part);
}

}  // namespace parcelmoor
