// TEMPORARY: placeholder until the line scanner lands; consumes each chunk.
#include "upload/upload_file.h"

namespace parcelmoor {
int32_t UploadFile::processChunk() {
  lChunkPos = lChunkLength;
  return 0;
}
void UploadFile::captureBoundary() {}
int32_t UploadFile::nextLine() { return 0; }
}  // namespace parcelmoor
