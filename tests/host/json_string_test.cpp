// JsonString: plain runs go through whole, everything else is escaped, and
// what is not UTF-8 becomes U+FFFD so that every JSON reader takes the text.
// CutText, which cut values rely on.

#include <gtest/gtest.h>

#include <string>

#include "host/json_text.h"

namespace parcelmoor {
namespace {

const std::string kFffd = "\xef\xbf\xbd";

TEST(JsonStringTest, EscapesWhatJsonCannotHoldAndReplacesWhatIsNotUtf8) {
  const struct {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"", "\"\""},
      {"field 12 ~", "\"field 12 ~\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\r\n\t", "\"\\r\\n\\t\""},
      {std::string("x\0y\x1f\x7f", 5), "\"x\\u0000y\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},  // valid UTF-8 kept
      {"a\xff" "b\xc3", "\"a" + kFffd + "b" + kFffd + "\""},    // invalid bytes, a cut sequence
      {"caf\xe9.txt", "\"caf" + kFffd + ".txt\""},                 // Latin-1
      {"\xed\xa0\x80", "\"" + kFffd + kFffd + kFffd + "\""},       // an encoded surrogate is not UTF-8
      {"\xc0\xaf", "\"" + kFffd + kFffd + "\""},                   // nor an overlong form
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.bytes), c.json) << c.json;
}

TEST(JsonStringTest, CutsKeepWholeCharacters) {
  const struct {
    std::string text;
    size_t limit;
    std::string kept;
  } cuts[] = {
      {"abcdef", 10, "abcdef"},
      {"abcdef", 3, "abc"},
      {"ab\xe2\x82\xac", 4, "ab"},           // the euro sign would be split: left out
      {"ab\xe2\x82\xac", 5, "ab\xe2\x82\xac"},
      {"a\xff\xff\xff\xff", 3, "a\xff\xff"},  // bytes that are no character are cut anywhere
  };
  for (const auto& c : cuts) EXPECT_EQ(CutText(c.text, c.limit), c.kept) << c.text << " at " << c.limit;
}

}  // namespace
}  // namespace parcelmoor
