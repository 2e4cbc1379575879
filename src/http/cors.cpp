#include "http/cors.h"

#include <algorithm>

namespace parcelmoor::httpd {
namespace {

// What a page may read of the answers: the resumable protocol's own headers
// first, since a client library needs them to go on.
constexpr std::string_view kExposed =
    "Location, Upload-Offset, Upload-Length, Upload-Expires, Upload-Metadata, Upload-Defer-Length, "
    "Tus-Resumable, Tus-Version, Tus-Extension, Tus-Max-Size, Tus-Checksum-Algorithm, Retry-After";
constexpr std::string_view kMethods = "GET, HEAD, POST, PATCH, DELETE, OPTIONS";

bool AnyOrigin(const CorsPolicy& p) { return std::find(p.origins.begin(), p.origins.end(), "*") != p.origins.end(); }

bool Listed(const CorsPolicy& p, std::string_view origin) {
  return std::find(p.origins.begin(), p.origins.end(), origin) != p.origins.end();
}

// Header names as a browser sends them: tokens and commas only, so that the
// echo can carry nothing else.
bool PlainHeaderList(std::string_view names) {
  return std::all_of(names.begin(), names.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == ',' || c == ' ';
  });
}

}  // namespace

HeaderList CorsAnswerHeaders(const CorsPolicy& policy, std::string_view origin) {
  if (origin.empty() || !policy.enabled()) return {};
  HeaderList out;
  if (Listed(policy, origin)) {
    out = {{"access-control-allow-origin", std::string(origin)}, {"access-control-allow-credentials", "true"}};
  } else if (AnyOrigin(policy)) {
    out = {{"access-control-allow-origin", "*"}};
  } else {
    return {};
  }
  out.emplace_back("access-control-expose-headers", std::string(kExposed));
  out.emplace_back("vary", "Origin");
  return out;
}

std::optional<PageAnswer> AnswerPreflight(const CorsPolicy& policy, std::string_view method, std::string_view origin,
                                          std::string_view requestMethod, std::string_view requestHeaders) {
  if (method != "OPTIONS" || origin.empty() || requestMethod.empty() || !policy.enabled()) return std::nullopt;
  PageAnswer answer;
  answer.contentType = "text/plain; charset=utf-8";
  answer.headers = CorsAnswerHeaders(policy, origin);
  if (answer.headers.empty()) {
    answer.status = 403;
    answer.body = "This origin may not upload here.\n";
    return answer;
  }
  answer.status = 204;
  answer.headers.emplace_back("access-control-allow-methods", std::string(kMethods));
  if (!requestHeaders.empty() && PlainHeaderList(requestHeaders)) {
    answer.headers.emplace_back("access-control-allow-headers", std::string(requestHeaders));
  }
  answer.headers.emplace_back("access-control-max-age", "600");
  return answer;
}

bool ValidCorsOrigin(std::string_view origin, std::string& why) {
  if (origin == "*") return true;
  const size_t scheme = origin.find("://");
  const bool ok = scheme != std::string_view::npos && scheme > 0 && origin.size() > scheme + 3 &&
                  origin.find('/', scheme + 3) == std::string_view::npos &&
                  std::none_of(origin.begin(), origin.end(), [](char c) { return c <= ' ' || c == ','; });
  if (!ok) why = "--cors-origin takes * or an origin such as https://app.example.org:8443 (no path, no slash at the end)";
  return ok;
}

}  // namespace parcelmoor::httpd
