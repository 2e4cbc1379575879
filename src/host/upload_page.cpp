#include "host/upload_page.h"

#include <cstddef>
#include <string>

namespace parcelmoor {

// Generated at build time from upload_page.html and page/dist (see
// src/CMakeLists.txt and cmake/embed_page.cmake).
extern const char kUploadPageHtml[];
extern const std::size_t kUploadPageHtmlSize;
extern const char kPageJs[];
extern const std::size_t kPageJsSize;
extern const char kPageCss[];
extern const std::size_t kPageCssSize;
extern const char kPageJsGzip[];
extern const std::size_t kPageJsGzipSize;
extern const char kPageCssGzip[];
extern const std::size_t kPageCssGzipSize;
extern const char kPageAssetVersion[];

std::string_view UploadPageHtml() { return {kUploadPageHtml, kUploadPageHtmlSize}; }
PageAssetBytes UploadPageScript() { return {{kPageJs, kPageJsSize}, {kPageJsGzip, kPageJsGzipSize}}; }
PageAssetBytes UploadPageStyle() { return {{kPageCss, kPageCssSize}, {kPageCssGzip, kPageCssGzipSize}}; }

std::string_view PageAssetPath() {
  static const std::string path = std::string("/assets/") + kPageAssetVersion + "/";
  return path;
}

}  // namespace parcelmoor
