#include "http/upload_forwarder.h"

#include <gtest/gtest.h>

namespace parcelmoor {
namespace {

// Each row: a --forward URL and where it leads, or "" when it is refused.
TEST(ForwardTargetTest, ParsesHttpAndUnixSocketUrlsAndRefusesTheRest) {
  struct Case {
    const char* url;
    const char* leadsTo;  // "host port target" or "unix:socket target"
  } cases[] = {
      {"http://app.local/upload", "app.local 80 /upload"},
      {"http://127.0.0.1:9000", "127.0.0.1 9000 /"},
      {"http://[::1]:9000/u?x=1", "::1 9000 /u?x=1"},
      {"http://[::1]/u", "::1 80 /u"},
      {"unix:/run/app.sock:/hook", "unix:/run/app.sock /hook"},
      {"http://[::1]x9000/u", ""},
      {"http://[::1:9000/u", ""},
      {"http://:9000/u", ""},
      {"http://host:/u", ""},
      {"http://host:9x/u", ""},
      {"https://host/u", ""},
      {"unix:/run/app.sock", "unix:/run/app.sock /"},
      {"unix:/run/app.sock:hook", ""},
  };
  for (const Case& c : cases) {
    std::string why;
    auto target = ForwardTarget::Parse(c.url, why);
    std::string got;
    if (target) {
      got = target->unixSocket ? "unix:" + target->socketPath + " " + target->target
                               : target->host + " " + target->port + " " + target->target;
    }
    EXPECT_EQ(got, c.leadsTo) << c.url;
    EXPECT_EQ(why.empty(), target.has_value()) << c.url;
  }
}

}  // namespace
}  // namespace parcelmoor
