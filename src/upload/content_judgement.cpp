// A stored file's first bytes, held back in one fixed buffer until the
// host's policy has judged them: a file refused for its content is never
// opened, so nothing of it reaches the disk. The judgement is made on the
// same bytes however the reads cut the body: when the buffer is full, or at
// the part's end with what there is.
#include <algorithm>
#include <cstring>
#include <string>

#include "upload/upload_file.h"

namespace parcelmoor {

std::span<const uint8_t> UploadFile::holdContent(std::span<const uint8_t> bytes) {
  if (!part_.heldBytes_) part_.heldBytes_ = std::make_unique<uint8_t[]>(PartPolicy::kJudgedBytes);
  const size_t room = PartPolicy::kJudgedBytes - part_.heldCount_;
  const size_t taken = std::min(room, bytes.size());
  std::memcpy(part_.heldBytes_.get() + part_.heldCount_, bytes.data(), taken);
  part_.heldCount_ += taken;
  if (part_.heldCount_ == PartPolicy::kJudgedBytes) judgeHeldContent();
  return bytes.subspan(taken);
}

void UploadFile::judgeHeldContent() {
  part_.judging_ = false;
  const std::span<const uint8_t> held(part_.heldBytes_.get(), part_.heldCount_);
  std::string fieldName;
  const PartHeaders headers = currentHeaders(fieldName);
  const PartDecision judgement = partPolicy_->judgeContent(headers, held);
  if (judgement.action != PartDecision::Action::kStore) {
    part_.dropContent_ = true;
    recordFileWithoutFile(judgement);
    return;
  }
  openFilePart(part_.judgedDecision_);
  // A finished file has its bytes already: only the judgement needed them.
  if (!held.empty() && part_.lInFilePart == 1) writer_.write(held.data(), static_cast<int32_t>(held.size()));
}

}  // namespace parcelmoor
