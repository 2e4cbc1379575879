#include "host/page_assets.h"

#include "host/upload_page.h"
#include "runtime/ascii.h"

namespace parcelmoor {

bool AcceptsGzip(std::string_view acceptEncoding) {
  while (!acceptEncoding.empty()) {
    size_t comma = acceptEncoding.find(',');
    std::string_view coding = acceptEncoding.substr(0, comma);
    acceptEncoding = comma == std::string_view::npos ? std::string_view() : acceptEncoding.substr(comma + 1);
    size_t semi = coding.find(';');
    std::string_view name = TrimAscii(coding.substr(0, semi));
    if (!EqualsIgnoringAsciiCase(name, "gzip") && !EqualsIgnoringAsciiCase(name, "x-gzip") && name != "*") continue;
    // "q=0", "q=0.0", "q=0.00" refuse it; any other weight takes it.
    std::string_view params = semi == std::string_view::npos ? std::string_view() : coding.substr(semi + 1);
    std::string_view q = TrimAscii(params);
    bool refused = q.size() >= 3 && (q[0] == 'q' || q[0] == 'Q') && q[1] == '=' &&
                   TrimAscii(q.substr(2)).find_first_not_of("0.") == std::string_view::npos;
    return !refused;
  }
  return false;
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
