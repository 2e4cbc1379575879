#pragma once
// The headers that tell a browser how far to trust an answer of serve and
// cgi: never guess another type than the one sent (a JSON answer carries
// names a client chose), run nothing but the page's own script and style,
// let no other site frame the page, and send no address of it elsewhere.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcelmoor {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The Content-Security-Policy of every answer. The upload page satisfies it:
// its script, style and assets come from its own origin, its one inline
// style and the styles its script sets are allowed, and its requests go to
// its own origin. `frameAncestors` is the frame-ancestors source list
// ("'none'" unless the operator lets sites frame the page).
std::string ContentSecurityPolicy(std::string_view frameAncestors);

// The security headers (lower-case names) `answerHeaders` does not set
// itself: an application's answer passed through with its own policy keeps
// it.
HeaderList SecurityHeadersBeside(const HeaderList& answerHeaders, std::string_view frameAncestors);

// The frame-ancestors source list of the defaults: no site frames the page.
inline constexpr std::string_view kNoFrameAncestors = "'none'";

}  // namespace parcelmoor
