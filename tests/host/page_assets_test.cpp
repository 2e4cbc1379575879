// Which requests get the page's script and style, and in which encoding.

#include <gtest/gtest.h>

#include <string>

#include "host/page_assets.h"
#include "host/upload_page.h"

namespace parcelmoor {
namespace {

TEST(PageAssets, AnswersOnlyTheCurrentVersionsNamesInTheEncodingAsked) {
  const std::string base(PageAssetPath());
  struct Case {
    std::string path;
    std::string acceptEncoding;
    bool found;
    bool gzip;
    std::string contentType;
  } cases[] = {
      {base + "page.js", "", true, false, "text/javascript; charset=utf-8"},
      {base + "page.css", "gzip, deflate, br", true, true, "text/css; charset=utf-8"},
      {base + "page.js", "br;q=1.0, GZIP;q=0.5", true, true, "text/javascript; charset=utf-8"},
      {base + "page.js", "gzip;q=0", true, false, "text/javascript; charset=utf-8"},
      {base + "page.js", "gzip;q=0.000, identity", true, false, "text/javascript; charset=utf-8"},
      {base + "page.js", "*", true, true, "text/javascript; charset=utf-8"},
      {base + "page.js", "deflate", true, false, "text/javascript; charset=utf-8"},
      {"/assets/0000000000000000/page.js", "gzip", false, false, ""},
      {base + "other.js", "", false, false, ""},
      {base, "", false, false, ""},
      {"/", "", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " | " + c.acceptEncoding);
    auto answer = AnswerPageAsset(c.path, c.acceptEncoding);
    ASSERT_EQ(answer.has_value(), c.found);
    if (!answer) continue;
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->contentType, c.contentType);
    PageAssetBytes bytes = c.path.ends_with(".js") ? UploadPageScript() : UploadPageStyle();
    EXPECT_EQ(answer->body, c.gzip ? bytes.gzip : bytes.plain);
    bool saysGzip = false, cached = false;
    for (const auto& [name, value] : answer->headers) {
      saysGzip = saysGzip || (name == "content-encoding" && value == "gzip");
      cached = cached || (name == "cache-control" && value == "public, max-age=31536000, immutable");
    }
    EXPECT_EQ(saysGzip, c.gzip);
    EXPECT_TRUE(cached);
  }
  // The compressed copies are gzip streams, smaller than what they hold.
  for (PageAssetBytes bytes : {UploadPageScript(), UploadPageStyle()}) {
    ASSERT_GT(bytes.gzip.size(), 2u);
    EXPECT_EQ(bytes.gzip.substr(0, 2), std::string_view("\x1f\x8b", 2));
    EXPECT_LT(bytes.gzip.size(), bytes.plain.size());
  }
}

}  // namespace
}  // namespace parcelmoor
