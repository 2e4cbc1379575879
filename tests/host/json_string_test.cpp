// JsonString: plain runs go through whole, everything else is escaped so that
// a reader gets the exact bytes back.

#include <gtest/gtest.h>

#include <string>

#include "host/page_runner.h"

namespace parcelmoor {
namespace {

TEST(JsonStringTest, EscapesWhatJsonCannotHoldAndKeepsTheRest) {
  const struct {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"", "\"\""},
      {"field 12 ~", "\"field 12 ~\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\r\n\t", "\"\\r\\n\\t\""},
      {std::string("x\0y\x1f\x7f", 5), "\"x\\u0000y\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},  // valid UTF-8 kept
      {"a\xff" "b\xc3", "\"a\\udcffb\\udcc3\""},                     // invalid bytes, a cut sequence
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.bytes), c.json) << c.json;
}

}  // namespace
}  // namespace parcelmoor
