// What an authorizing application's headers may do to one upload: a
// subdirectory strictly inside the upload directory, limits only lowered.

#include "host/upload_narrowing.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(MakeSubdirectory, StaysInsideTheUploadDirectory) {
  struct Case {
    const char* relative;
    const char* made;  // below the base; nullptr: refused
  };
  const Case cases[] = {
      {"users/alice", "users/alice"},
      {"users//./bob/", "users/bob"},
      {"", ""},
      {"users/../../escape", nullptr},  // refused before anything is created
      {"..", nullptr},
      {"/tmp", nullptr},
      {"link/inside", nullptr},  // a link to a directory outside
      {"users/link/inside", nullptr},
      {"file/inside", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    TempDir top;
    const fs::path base = top.path() / "uploads";
    const fs::path outside = top.path() / "outside";
    fs::create_directories(base / "users");
    fs::create_directory(outside);
    fs::create_directory_symlink(outside, base / "link");
    fs::create_directory_symlink(outside, base / "users" / "link");
    std::ofstream(base / "file") << "x";

    std::string why;
    std::string made = MakeSubdirectory(base.string(), c.relative, why);
    if (c.made) {
      EXPECT_EQ(made, c.made[0] ? base.string() + "/" + c.made : base.string()) << why;
      EXPECT_TRUE(fs::is_directory(made));
    } else {
      EXPECT_EQ(made, "");
      EXPECT_FALSE(why.empty());
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(top.path() / "escape"));
    EXPECT_FALSE(fs::exists(base / "users" / "users"));
  }
}

TEST(NarrowLimits, OnlyLowersAndRefusesWhatIsNotANumber) {
  struct Case {
    std::optional<int64_t> configured;
    const char* header;
    bool followed;
    std::optional<int64_t> result;
  };
  const Case cases[] = {
      {100, "50", true, 50},
      {100, "500", true, 100},
      {std::nullopt, "7", true, 7},
      {100, "12abc", false, 100},
      {100, "-1", false, 100},
      {100, "", false, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    for (const char* name : {"parcelmoor-max-file-size", "parcelmoor-max-request-size"}) {
      UploadSettings settings;
      settings.maxFileBytes = c.configured;
      settings.maxRequestBytes = c.configured;
      std::string why;
      EXPECT_EQ(NarrowLimits({{name, c.header}}, settings, why), c.followed);
      const bool file = std::string(name) == "parcelmoor-max-file-size";
      EXPECT_EQ(file ? settings.maxFileBytes : settings.maxRequestBytes, c.result);
      EXPECT_EQ(file ? settings.maxRequestBytes : settings.maxFileBytes, c.configured);
    }
  }
}

}  // namespace
}  // namespace parcelmoor
