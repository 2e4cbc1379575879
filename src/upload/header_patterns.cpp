#include <cstring>

#include "upload/upload_file.h"

namespace parcelmoor {

void UploadFile::initHeaderPatterns() {
  static constexpr char kContentType[] = "content-type";
  static constexpr char kContentDisposition[] = "content-disposition";
  std::memcpy(part_.abContentType.data(), kContentType, part_.abContentType.size());
  std::memcpy(part_.abContentDisposition.data(), kContentDisposition, part_.abContentDisposition.size());
  scan_.abCRLF = {13, 10};
}

int32_t UploadFile::bytesEqual(const uint8_t* a, int32_t offsetA, const uint8_t* b, int32_t offsetB,
                               int32_t count) {
  if (count <= 0) return 0;
  return std::memcmp(a + offsetA, b + offsetB, static_cast<size_t>(count)) == 0 ? 0 : 1;
}

int32_t UploadFile::matchBytes(const uint8_t* pattern, const uint8_t* line, int32_t count, Boolean foldCase,
                               int32_t start) {
  if (!foldCase) return count <= 0 || std::memcmp(pattern, line + start, static_cast<size_t>(count)) == 0 ? 0 : 1;
  for (int32_t j = 0; j < count; ++j) {
    uint8_t p = pattern[j];
    uint8_t l = line[start + j];
    if (p == l) continue;
    // Folding looks only at the pattern byte's range: 65..122 also accepts the
    // byte 32 below it, which makes an upper-case letter match a lower-case one.
    if (foldCase && p >= 65 && p <= 122 && l == p - 32) continue;
    return 1;
  }
  return 0;
}

}  // namespace parcelmoor
