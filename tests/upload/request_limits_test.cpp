// MaxFieldSize, MaxParts and MaxTotalFieldSize: a body within the limits is stored as without
// them; one past a limit stops with the component's error, is read no
// further, and keeps no file.

#include <gtest/gtest.h>

#include "support/upload_harness.h"
#include "upload/upload_errors.h"

namespace parcelmoor::testing {
namespace {

TEST(RequestLimitsTest, LimitsStopTheBodyAndKeepNoFile) {
  struct Case {
    const char* why;
    int32_t maxFieldSize;
    int32_t maxParts;
    int64_t maxTotalFieldBytes;
    int32_t error;  // 0: none
  };
  // A file, then a 100-byte field, then 3 more fields: 5 parts.
  std::vector<Part> parts{File("f", "a.bin", std::string(5000, 'a')), Field("t", std::string(100, 'x'))};
  for (int i = 0; i < 3; ++i) parts.push_back(Field("n" + std::to_string(i), "v"));
  // Padding after the last part keeps the body well past where a limit bites.
  std::string body = Body(parts);
  for (int i = 0; i < 50'000; ++i) body += "\r\n";
  const Case cases[] = {
      {"no limits", 0, 0, 0, 0},
      {"field exactly at the limit", 100, 0, 0, 0},
      {"field one byte over", 99, 0, 0, uploaderr::kFieldTooLarge},
      {"parts exactly at the limit", 0, 5, 0, 0},
      {"one part too many", 0, 4, 0, uploaderr::kTooManyParts},
      {"negative means none", -1, -1, -1, 0},
      {"fields together exactly at the limit", 0, 0, 103, 0},
      {"fields together one byte over, each within its own", 100, 0, 102, uploaderr::kFieldsTooLarge},
  };
  for (const Case& c : cases) {
    TempDir dir;
    StoreRun run = Store(body, dir,
                         {.readPlan = {4096}, .maxFieldSize = c.maxFieldSize, .maxParts = c.maxParts,
                          .maxTotalFieldBytes = c.maxTotalFieldBytes});
    const auto& failure = run.upload->lastParseFailure();
    EXPECT_EQ(failure ? failure->number() : 0, c.error) << c.why;
    run.upload->release();
    if (c.error == 0) {
      EXPECT_EQ(run.host->bytesDelivered(), static_cast<int64_t>(body.size())) << c.why;
      EXPECT_EQ(dir.Files().size(), 1u) << c.why;
    } else {
      EXPECT_EQ(failure->source(), kComponentSource) << c.why;
      EXPECT_LT(run.host->bytesDelivered(), 16 * 1024) << c.why;
      EXPECT_TRUE(dir.Files().empty()) << c.why;
    }
  }
}

}  // namespace
}  // namespace parcelmoor::testing
