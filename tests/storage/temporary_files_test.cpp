#include "storage/temporary_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "storage/lock_holder_process.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;

TEST(TemporaryNameTest, IsHiddenShortAndTheSameForTheSameName) {
  const std::string longName(255, 'n');
  EXPECT_EQ(TemporaryNameFor("a.txt"), TemporaryNameFor("a.txt"));
  EXPECT_NE(TemporaryNameFor(longName), TemporaryNameFor(longName + "x"));
  EXPECT_LE(TemporaryNameFor(longName).size(), 66u);
  EXPECT_TRUE(IsTemporaryName(TemporaryNameFor("a.txt")));
  EXPECT_FALSE(IsTemporaryName(".parcelmoor-.part"));
}

TEST(SweepTest, RemovesOnlyOldTemporariesWhoseWriterIsGone) {
  testing::TempDir dir;
  auto at = [&](const std::string& name) { return (dir.path() / name).string(); };
  const std::string abandoned = TemporaryNameFor("abandoned.bin");
  const std::string held = TemporaryNameFor("held.bin");
  const std::string young = TemporaryNameFor("young.bin");
  for (const std::string& name : {abandoned, held, young, std::string("plain.txt")}) testing::WriteFile(at(name), "x");
  fs::create_directory(at(TemporaryNameFor("dir")));
  fs::create_symlink(at("plain.txt"), at(TemporaryNameFor("link")));
  // Everything but `young` was last changed a minute ago.
  const fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::minutes(1);
  for (const std::string& name : {abandoned, held, std::string("plain.txt"), TemporaryNameFor("dir")}) {
    fs::last_write_time(at(name), old);
  }
  testing::LockHolderProcess writer(at(held));
  ASSERT_TRUE(writer.holds());

  EXPECT_EQ(SweepTemporaries(dir.str()), std::vector<std::string>{at(abandoned)});
  EXPECT_FALSE(fs::exists(at(abandoned)));
  EXPECT_EQ(dir.Files().size(), 4u);  // held, young, plain.txt and the link to it
  EXPECT_TRUE(fs::is_symlink(at(TemporaryNameFor("link"))));
  EXPECT_TRUE(fs::is_directory(at(TemporaryNameFor("dir"))));

  writer.Release();  // the writer is gone: its temporary is free
  EXPECT_EQ(SweepTemporaries(dir.str()), std::vector<std::string>{at(held)});
  EXPECT_TRUE(SweepTemporaries(dir.str() + "/missing").empty());
}

}  // namespace
}  // namespace parcelmoor
