// A name already taken at commit under each store policy, with two writers
// of one name begun before either commits (as two concurrent uploads), and
// the checksum each committed record carries.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/local_store.h"
#include "upload/upload_file_writer.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

TEST(NumberedNameTest, GoesBeforeTheExtensionOfTheNameOnly) {
  const struct {
    const char* path;
    int n;
    const char* want;
  } rows[] = {
      {"d/x.txt", 1, "d/x (1).txt"},
      {"d/archive.tar.gz", 2, "d/archive.tar (2).gz"},
      {"d/plain", 3, "d/plain (3)"},
      {"d/.profile", 1, "d/.profile (1)"},
      {"d.v2/plain", 1, "d.v2/plain (1)"},
  };
  for (const auto& row : rows) EXPECT_EQ(NumberedName(row.path, row.n), row.want) << row.path;
}

FileRecord Named(const std::string& name) {
  FileRecord file;
  file.fieldName = "f";
  file.fileName = name;
  return file;
}

// Two writers, each with its own store of `policy`, begin "x.txt" before
// either commits; the first commits first. A file of the name exists before.
std::vector<FileRecord> RaceForOneName(const TempDir& dir, OnExists policy) {
  UploadFileWriter writers[2];
  const std::string contents[2] = {"first", "second"};
  for (int i = 0; i < 2; ++i) {
    writers[i].setStore(std::make_shared<LocalStore>(LocalStoreOptions{.onExists = policy}));
    writers[i].setChecksums(true);
    writers[i].open(dir.str() + "/", Named("x.txt"), std::nullopt);
    writers[i].write(reinterpret_cast<const uint8_t*>(contents[i].data()), static_cast<int32_t>(contents[i].size()));
    writers[i].close();
  }
  for (UploadFileWriter& writer : writers) writer.commitAll();
  return {writers[0].records()->front(), writers[1].records()->front()};
}

TEST(OnExistsTest, EachPolicyAtCommit) {
  const std::string kSha256First = "a7937b64b8caa58f03721bb6bacf5c78cb235febe0e70b1b84cd99541461a08e";
  const struct {
    OnExists policy;
    std::map<std::string, std::string> left;
    FileOutcome second;
    const char* secondName;  // "" when refused
  } rows[] = {
      {OnExists::kKeepBoth, {{"x.txt", "earlier"}, {"x (1).txt", "first"}, {"x (2).txt", "second"}},
       FileOutcome::kStored, "x (2).txt"},
      {OnExists::kRefuse, {{"x.txt", "earlier"}}, FileOutcome::kRefused, ""},
  };
  for (const auto& row : rows) {
    TempDir dir;
    { std::ofstream(dir.path() / "x.txt") << "earlier"; }
    const std::vector<FileRecord> records = RaceForOneName(dir, row.policy);
    EXPECT_EQ(dir.Files(), row.left);
    EXPECT_EQ(records[1].outcome, row.second);
    if (row.second == FileOutcome::kRefused) {
      EXPECT_EQ(records[1].refusal, "name-exists");
      EXPECT_EQ(records[1].refusalStatus, 409);
      EXPECT_TRUE(records[1].storedPath.empty());
      EXPECT_TRUE(records[1].sha256.empty());
    } else {
      EXPECT_EQ(records[0].storedPath, (dir.path() / "x (1).txt").string());
      EXPECT_EQ(records[0].sha256, kSha256First);
      EXPECT_EQ(records[1].storedPath, (dir.path() / row.secondName).string());
    }
  }
}

}  // namespace
}  // namespace parcelmoor::testing
