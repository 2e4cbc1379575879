#pragma once
// The hosts' answer to the upload object's question about each part: what
// the settings allow. Today that is the file size limit and what becomes of
// a file over it; checks of types, names and contents belong here too, so
// that the part state machine never has to learn of them.

#include <cstdint>
#include <optional>

#include "host/upload_settings.h"
#include "upload/part_policy.h"

namespace parcelmoor {

class HostPartPolicy final : public PartPolicy {
 public:
  // Copies what it needs of `settings`.
  explicit HostPartPolicy(const UploadSettings& settings);

  // Every part is stored; a file part with the settings' size limit (none
  // when unset) and deleted over it when deleteOverLimit is set.
  PartDecision decide(const PartHeaders& part) override;

 private:
  std::optional<int64_t> maxFileBytes_;
  bool deleteOverLimit_;
};

}  // namespace parcelmoor
