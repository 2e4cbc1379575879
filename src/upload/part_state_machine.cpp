// TEMPORARY: placeholder until the part state machine lands.
#include "upload/upload_file.h"

namespace parcelmoor {
int32_t UploadFile::handleLine() {
  lLineLength = 0;
  return 0;
}
void UploadFile::prepareFilePart(const std::string&) {}
}  // namespace parcelmoor
