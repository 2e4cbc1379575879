// TEMPORARY: placeholder until the upload file writer lands.
#include "upload/upload_file.h"

namespace parcelmoor {
void UploadFile::openUploadFile() {}
void UploadFile::writeBytes(const uint8_t*, int32_t, int32_t) {}
void UploadFile::closeUploadFile() { hFile = -1; }
void UploadFile::abandonUploadFile() noexcept {}
}  // namespace parcelmoor
