#pragma once
// The hosts' answer to the upload object's questions about each part: what
// the settings allow. Once the headers are complete: the file size limit and
// what becomes of a file over it, and hidden names (a leading '.') refused
// unless allowed. Before a stored file's first byte reaches the disk, when
// allowed types are set: its type as its own first bytes tell it.

#include <string>
#include <vector>

#include "host/upload_settings.h"
#include "upload/limit_policy.h"
#include "upload/part_policy.h"

namespace parcelmoor {

class HostPartPolicy final : public PartPolicy {
 public:
  // Copies what it needs of `settings`.
  explicit HostPartPolicy(const UploadSettings& settings);

  // Every field is stored. A file part whose name begins with '.' (other
  // than "." and "..", which the store refuses as names) is refused
  // ("hidden-name", 422) when the settings refuse hidden names; any other
  // file part is stored with the settings' size limit (none when unset),
  // deleted over it when deleteOverLimit is set; an earlier file of its name
  // in the same upload is replaced only under OnExists::kReplace.
  PartDecision decide(const PartHeaders& part) override;

  // True when the settings list allowed types.
  bool judgesContent() const override { return !allowedTypes_.empty(); }
  // A file whose bytes libmagic types outside the allowed types is refused
  // ("type-not-allowed", 415, its detected type in the reason); the
  // client's Content-Type and the file name's extension are not consulted.
  PartDecision judgeContent(const PartHeaders& part, std::span<const uint8_t> firstBytes) override;

 private:
  LimitPolicy limits_;
  bool replacesEarlierOfName_;
  bool refuseHiddenNames_;
  std::vector<std::string> allowedTypes_;
};

}  // namespace parcelmoor
