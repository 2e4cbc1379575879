#pragma once
// What may cross between the client, parcelmoor and the application in
// headers. A client's header values are copied into the hand-off request
// (under `cgi` from raw CGI variables, which nothing has checked), so line
// breaks and other control characters are taken out before they could start
// headers of their own. The application's answer is an end-to-end message
// for the client: headers meant for one hop, and those parcelmoor sets
// itself, stay behind.

#include <string>
#include <string_view>
#include <vector>

#include "host/upload_handoff.h"

namespace parcelmoor {

// `value` without control characters (C0 but horizontal tab, and DEL).
std::string HeaderSafe(std::string_view value);

// `target` with control characters, spaces and bytes past ASCII
// percent-encoded, as a request target may hold them.
std::string TargetSafe(std::string_view target);

// Makes every client-given text of `request` safe to send as a header.
void MakeHeaderSafe(HandoffRequest& request);

// Names (lower case) an application's answer may not pass on to the client:
// the hop-by-hop headers (Connection and every header it names,
// Proxy-Connection, Keep-Alive, TE, Trailer, Transfer-Encoding, Upgrade,
// Proxy-Authenticate),
// the framing parcelmoor sets (Content-Length), the headers parcelmoor sets
// itself (Cache-Control, Server, Date) and a CGI Status, which would override
// the status parcelmoor sends. `connection` is every value of the answer's
// Connection headers.
class AnswerHeaderFilter {
 public:
  explicit AnswerHeaderFilter(const std::vector<std::string_view>& connection);
  bool Passes(std::string_view name) const;

 private:
  std::vector<std::string> named_;  // lower-case tokens of Connection
};

}  // namespace parcelmoor
