#include "host/page_assets.h"

#include "host/upload_page.h"

namespace parcelmoor {

std::optional<PageAnswer> AnswerPageAsset(std::string_view path) {
  std::string_view prefix = PageAssetPath();
  if (!path.starts_with(prefix)) return std::nullopt;
  std::string_view name = path.substr(prefix.size());
  PageAnswer answer;
  if (name == "page.js") {
    answer.contentType = "text/javascript; charset=utf-8";
    answer.body = UploadPageScript();
  } else if (name == "page.css") {
    answer.contentType = "text/css; charset=utf-8";
    answer.body = UploadPageStyle();
  } else {
    return std::nullopt;
  }
  answer.headers = {{"cache-control", "public, max-age=31536000, immutable"},
                    {"x-content-type-options", "nosniff"}};
  return answer;
}

}  // namespace parcelmoor
