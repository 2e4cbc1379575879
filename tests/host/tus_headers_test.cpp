// The tus protocol's header values, parsed strictly.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/tus/tus_headers.h"

namespace parcelmoor::testing {
namespace {

TEST(TusHeadersTest, HeaderValues) {
  const struct {
    const char* text;
    std::optional<int64_t> want;
  } decimals[] = {{"0", 0}, {"1048576", 1048576}, {"", std::nullopt}, {"-1", std::nullopt},
                  {"+1", std::nullopt}, {"1 ", std::nullopt}, {"99999999999999999999", std::nullopt}};
  for (const auto& row : decimals) EXPECT_EQ(ParseDecimalHeader(row.text), row.want) << row.text;

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* text;
    std::optional<Pairs> want;
  } metadata[] = {
      {"", Pairs{}},
      {"filename aGkudHh0,filetype dGV4dC9wbGFpbg==", Pairs{{"filename", "hi.txt"}, {"filetype", "text/plain"}}},
      {"flag, filename YQ==", Pairs{{"flag", ""}, {"filename", "a"}}},
      {"filename YQ==,filename Yg==", std::nullopt},  // a key twice
      {"filename !!!!", std::nullopt},
      {"filename YQ", std::nullopt},  // padding missing
      {",filename YQ==", std::nullopt},
      {"filename\tYQ==", std::nullopt},
  };
  for (const auto& row : metadata) EXPECT_EQ(ParseUploadMetadata(row.text), row.want) << row.text;

  const struct {
    const char* text;
    const char* algorithm;  // nullptr: refused
    const char* digest;
  } checksums[] = {
      {"sha1 YWJj", "sha1", "abc"},
      {"SHA256 YWI=", "sha256", "ab"},
      {"sha1", nullptr, nullptr},
      {"sha1 ", nullptr, nullptr},
      {" YWJj", nullptr, nullptr},
      {"sha1 YW=j", nullptr, nullptr},
  };
  for (const auto& row : checksums) {
    auto parsed = ParseUploadChecksum(row.text);
    ASSERT_EQ(parsed.has_value(), row.algorithm != nullptr) << row.text;
    if (parsed) {
      EXPECT_EQ(parsed->algorithm + " " + parsed->digest, std::string(row.algorithm) + " " + row.digest);
    }
  }
}

}  // namespace
}  // namespace parcelmoor::testing
