#include "host/upload_page.h"

#include <cstddef>

namespace parcelmoor {

// Generated at build time from upload_page.html (see src/CMakeLists.txt).
extern const char kUploadPageHtml[];
extern const std::size_t kUploadPageHtmlSize;

std::string_view UploadPageHtml() { return {kUploadPageHtml, kUploadPageHtmlSize}; }

}  // namespace parcelmoor
