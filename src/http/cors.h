#pragma once
// Cross-origin uploads (--cors-origin): which origins a browser may let read
// the answers of POST / and /files/, and the preflight answer that lets it
// send them. Listed origins may send credentials (cookies, Authorization)
// and are echoed back; "*" lets any origin in, without credentials, as the
// browsers' own rules require.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/page_answer.h"

namespace parcelmoor::httpd {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct CorsPolicy {
  std::vector<std::string> origins;  // "https://app.example", or "*"
  bool enabled() const { return !origins.empty(); }
};

// The headers every answer to `origin` carries; empty when the origin is
// not let in (the browser then keeps the answer from the page).
HeaderList CorsAnswerHeaders(const CorsPolicy& policy, std::string_view origin);

// The answer to a preflight (OPTIONS with Access-Control-Request-Method):
// 204 with the methods and the headers asked for, when the origin is let
// in; 403 otherwise. Nullopt when the request is no preflight.
std::optional<PageAnswer> AnswerPreflight(const CorsPolicy& policy, std::string_view method,
                                          std::string_view origin, std::string_view requestMethod,
                                          std::string_view requestHeaders);

// Checks a --cors-origin value: "*" or scheme://host[:port] with nothing
// after; false with `why` otherwise.
bool ValidCorsOrigin(std::string_view origin, std::string& why);

}  // namespace parcelmoor::httpd
