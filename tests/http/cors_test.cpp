#include "http/cors.h"

#include <gtest/gtest.h>

#include <string>

namespace parcelmoor::httpd {
namespace {

std::string HeaderOf(const HeaderList& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (n == name) return v;
  }
  return "(none)";
}

// Each row: the origins let in, the request's Origin, and what a browser
// is told about it.
TEST(CorsTest, AnswersNameOnlyTheOriginsLetInAndCredentialsOnlyForNamedOnes) {
  struct Case {
    std::vector<std::string> origins;
    std::string origin;
    std::string allowOrigin;
    std::string credentials;
    int preflight;  // status of a preflight from that origin
  };
  const Case cases[] = {
      {{"http://a.test:81"}, "http://a.test:81", "http://a.test:81", "true", 204},
      {{"http://a.test:81"}, "http://a.test:82", "(none)", "(none)", 403},  // another port is another origin
      {{"http://a.test:81"}, "http://a.test:81.evil", "(none)", "(none)", 403},
      {{"*"}, "https://any.test", "*", "(none)", 204},
      {{"*", "https://b.test"}, "https://b.test", "https://b.test", "true", 204},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin);
    const CorsPolicy policy{c.origins};
    const HeaderList headers = CorsAnswerHeaders(policy, c.origin);
    EXPECT_EQ(HeaderOf(headers, "access-control-allow-origin"), c.allowOrigin);
    EXPECT_EQ(HeaderOf(headers, "access-control-allow-credentials"), c.credentials);
    const auto preflight = AnswerPreflight(policy, "OPTIONS", c.origin, "PATCH", "tus-resumable, upload-offset");
    ASSERT_TRUE(preflight);
    EXPECT_EQ(preflight->status, c.preflight);
    if (c.preflight == 204) {
      EXPECT_EQ(HeaderOf(preflight->headers, "access-control-allow-headers"), "tus-resumable, upload-offset");
      EXPECT_NE(HeaderOf(preflight->headers, "access-control-expose-headers").find("Upload-Offset"), std::string::npos);
    }
  }
  // Not a preflight: a tus OPTIONS without Access-Control-Request-Method,
  // or no CORS configured at all.
  EXPECT_FALSE(AnswerPreflight({{"*"}}, "OPTIONS", "https://a.test", "", ""));
  EXPECT_FALSE(AnswerPreflight({}, "OPTIONS", "https://a.test", "PATCH", ""));
  // Requested header names are echoed only when they are plain names.
  auto odd = AnswerPreflight({{"*"}}, "OPTIONS", "https://a.test", "POST", "x-a\r\nx-b: 1");
  EXPECT_EQ(HeaderOf(odd->headers, "access-control-allow-headers"), "(none)");
}

TEST(CorsTest, AcceptsOnlyAStarOrAnOriginWithoutAPath) {
  std::string why;
  for (const char* good : {"*", "https://app.example.org", "http://127.0.0.1:8081"}) EXPECT_TRUE(ValidCorsOrigin(good, why)) << good;
  for (const char* bad : {"", "app.example.org", "https://app.example.org/", "https://a.test/x", "https://a.test,https://b.test"}) {
    EXPECT_FALSE(ValidCorsOrigin(bad, why)) << bad;
  }
}

}  // namespace
}  // namespace parcelmoor::httpd
