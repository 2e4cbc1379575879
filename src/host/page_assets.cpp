#include "host/page_assets.h"

#include "host/header_weights.h"
#include "host/upload_page.h"
#include "runtime/ascii.h"

namespace parcelmoor {

bool AcceptsGzip(std::string_view acceptEncoding) {
  // The first member that names gzip (or anything) decides: a weight of 0
  // refuses it.
  std::optional<bool> takes;
  ForEachWeighted(acceptEncoding, [&](std::string_view coding, double q) {
    if (takes) return;
    if (EqualsIgnoringAsciiCase(coding, "gzip") || EqualsIgnoringAsciiCase(coding, "x-gzip") || coding == "*") {
      takes = q > 0;
    }
  });
  return takes.value_or(false);
}

std::optional<PageAnswer> AnswerPageAsset(std::string_view path, std::string_view acceptEncoding) {
  std::string_view prefix = PageAssetPath();
  if (!path.starts_with(prefix)) return std::nullopt;
  std::string_view name = path.substr(prefix.size());
  PageAssetBytes bytes;
  PageAnswer answer;
  if (name == "page.js") {
    answer.contentType = "text/javascript; charset=utf-8";
    bytes = UploadPageScript();
  } else if (name == "page.css") {
    answer.contentType = "text/css; charset=utf-8";
    bytes = UploadPageStyle();
  } else {
    return std::nullopt;
  }
  answer.headers = {{"cache-control", "public, max-age=31536000, immutable"},
                    {"x-content-type-options", "nosniff"},
                    {"vary", "accept-encoding"}};
  if (AcceptsGzip(acceptEncoding)) {
    answer.body = bytes.gzip;
    answer.headers.emplace_back("content-encoding", "gzip");
  } else {
    answer.body = bytes.plain;
  }
  return answer;
}

}  // namespace parcelmoor
