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

namespace {

void AddFormAttribute(std::string& pageHtml, std::string_view name, std::string_view value) {
  static constexpr std::string_view kForm = "<form id=\"upload-form\"";
  const size_t at = pageHtml.find(kForm);
  if (at == std::string::npos) return;
  pageHtml.insert(at + kForm.size(), " " + std::string(name) + "=\"" + std::string(value) + "\"");
}

}  // namespace

void AnnounceResumableEndpoint(std::string& pageHtml, std::string_view endpoint) {
  AddFormAttribute(pageHtml, "data-resumable-endpoint", endpoint);
}

void AnnounceApplication(std::string& pageHtml) { AddFormAttribute(pageHtml, "data-application", "yes"); }

std::string_view PageAssetPath() {
  static const std::string path = std::string("/assets/") + kPageAssetVersion + "/";
  return path;
}

}  // namespace parcelmoor
