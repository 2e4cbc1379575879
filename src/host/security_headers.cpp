#include "host/security_headers.h"

#include "runtime/ascii.h"

namespace parcelmoor {

std::string ContentSecurityPolicy(std::string_view frameAncestors) {
  // style-src allows inline styles: the page's fallback style block and the
  // styles the uploader's widgets set. Scripts stay the page's own file.
  // img-src data: and blob: are the page's empty icon and the uploader's
  // file previews; frame-src none: an application's answer is shown in a
  // sandboxed srcdoc frame, which fetches nothing.
  return "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data: blob:; "
         "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors " +
         std::string(frameAncestors.empty() ? kNoFrameAncestors : frameAncestors);
}

HeaderList SecurityHeadersBeside(const HeaderList& answerHeaders, std::string_view frameAncestors) {
  HeaderList own = {{"x-content-type-options", "nosniff"},
                    {"content-security-policy", ContentSecurityPolicy(frameAncestors)},
                    {"referrer-policy", "same-origin"}};
  HeaderList out;
  for (auto& header : own) {
    bool given = false;
    for (const auto& [name, value] : answerHeaders) given = given || EqualsIgnoringAsciiCase(name, header.first);
    if (!given) out.push_back(std::move(header));
  }
  return out;
}

}  // namespace parcelmoor
