#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parcelmoor::apps {
namespace {

TEST(OptionsTest, ParsesByteCounts) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const struct {
    const char* text;
    std::optional<int64_t> value;
  } cases[] = {
      {"0", 0},
      {"1048576", 1048576},
      {"100K", 100 << 10},
      {"512m", int64_t{512} << 20},
      {"4G", int64_t{4} << 30},
      {"3T", int64_t{3} << 40},
      {"9223372036854775807", kMax},
      {"8388607T", int64_t{8388607} << 40},
      {"8388608T", std::nullopt},            // 2^63: one past the largest
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1.5M", std::nullopt},
      {"10KB", std::nullopt},
      {"K", std::nullopt},
      {"1P", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseByteCount(c.text), c.value) << '"' << c.text << '"';
}

// The option parser builds the one settings struct, keeping 64-bit limits
// whole, and refuses what the component cannot count.
TEST(OptionsTest, BuildsTheUploadSettings) {
  struct Case {
    const char* why;
    std::vector<std::string> args;
    bool ok;
  };
  const Case cases[] = {
      {"64-bit limits kept whole", {"--max-file-size", "5G", "--max-request-size", "6G", "--delete-max-file"}, true},
      {"field limit past 32 bits", {"--max-field-size", "2G"}, false},
      {"negative part count", {"--max-parts", "-1"}, false},
      {"malformed size", {"--max-file-size", "5 G"}, false},
  };
  for (const Case& c : cases) {
    UploadSettings settings;
    ApplyServerDefaults(settings);
    Command command{"serve", "usage", UploadOptions(settings), {}, false};
    std::vector<char*> argv;
    std::vector<std::string> args = c.args;
    for (std::string& a : args) argv.push_back(a.data());
    std::string error;
    Parsed parsed = ParseCommand(command, static_cast<int>(argv.size()), argv.data(), error);
    EXPECT_EQ(parsed == Parsed::kRun, c.ok) << c.why << ": " << error;
    if (!c.ok) continue;
    EXPECT_EQ(settings.maxFileBytes, int64_t{5} << 30) << c.why;
    EXPECT_EQ(settings.maxRequestBytes, int64_t{6} << 30) << c.why;
    EXPECT_TRUE(settings.deleteOverLimit) << c.why;
    EXPECT_EQ(settings.maxFieldBytes, kDefaultMaxFieldSize) << c.why;
    EXPECT_EQ(settings.maxParts, kDefaultMaxParts) << c.why;
  }
}

// serve and cgi default to what a public endpoint needs; each default has
// its way back, and contradictions are refused.
TEST(OptionsTest, PublicDefaultsAndTheirSwitches) {
  struct Case {
    const char* why;
    std::vector<std::string> args;
    bool ok;
    bool refusesOverLimit = true;
    OnExists onExists = OnExists::kKeepBoth;
    int64_t minFree = kDefaultMinFreeSpace;
  };
  const Case cases[] = {
      {"the defaults", {}, true},
      {"cutting asked for", {"--cut-max-file"}, true, false},
      {"refusing asked for the old way", {"--delete-max-file"}, true},
      {"cutting and refusing at once", {"--cut-max-file", "--delete-max-file"}, false},
      {"replacing, no reserve", {"--on-exists", "replace", "--min-free-space", "0"}, true, true, OnExists::kReplace, 0},
      {"a frame-ancestors list that would start another directive", {"--frame-ancestors", "'self'; script-src *"},
       false},
  };
  for (const Case& c : cases) {
    UploadSettings settings;
    ApplyServerDefaults(settings);
    Command command{"serve", "usage", UploadOptions(settings), {}, false};
    std::vector<char*> argv;
    std::vector<std::string> args = c.args;
    for (std::string& a : args) argv.push_back(a.data());
    std::string error;
    Parsed parsed = ParseCommand(command, static_cast<int>(argv.size()), argv.data(), error);
    EXPECT_EQ(parsed == Parsed::kRun, c.ok) << c.why << ": " << error;
    if (!c.ok) continue;
    EXPECT_EQ(settings.deleteOverLimit, c.refusesOverLimit) << c.why;
    EXPECT_EQ(settings.onExists, c.onExists) << c.why;
    EXPECT_EQ(settings.minFreeBytes, c.minFree) << c.why;
    EXPECT_TRUE(settings.clientPathsRelative) << c.why;
  }
}

}  // namespace
}  // namespace parcelmoor::apps
