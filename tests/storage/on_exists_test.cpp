// A name already taken at commit under each store policy, with two writers
// of one name begun before either commits (as two concurrent uploads), and
// the checksum each committed record carries; the in-memory store keeps the
// same rules as the directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/local_store.h"
#include "storage/memory_store.h"
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

// Two writers, each with its own store from `make`, begin "x.txt" in
// `directory` before either commits; the first commits first.
std::vector<FileRecord> RaceForOneName(const std::string& directory,
                                       const std::function<std::shared_ptr<parcelmoor::Store>()>& make) {
  UploadFileWriter writers[2];
  const std::string contents[2] = {"first", "second"};
  for (int i = 0; i < 2; ++i) {
    writers[i].setStore(make());
    writers[i].setChecksums(true);
    writers[i].open(directory + "/", Named("x.txt"), std::nullopt);
    writers[i].write(reinterpret_cast<const uint8_t*>(contents[i].data()), static_cast<int32_t>(contents[i].size()));
    writers[i].close();
  }
  for (UploadFileWriter& writer : writers) writer.commitAll();
  return {writers[0].records()->front(), writers[1].records()->front()};
}

// In a directory, and in memory where the store stands in for one in tests:
// a file of the name exists before.
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
    for (const bool inMemory : {false, true}) {
      SCOPED_TRACE(inMemory ? "in memory" : "in a directory");
      TempDir dir;
      std::vector<FileRecord> records;
      std::map<std::string, std::string> left;
      if (inMemory) {
        auto files = std::make_shared<MemoryFiles>();
        files->put(dir.str() + "/x.txt", "earlier");
        records = RaceForOneName(dir.str(), [&] { return std::make_shared<MemoryStore>(files, row.policy); });
        for (const auto& [path, bytes] : files->committed()) left[path.substr(dir.str().size() + 1)] = bytes;
      } else {
        { std::ofstream(dir.path() / "x.txt") << "earlier"; }
        records = RaceForOneName(dir.str(), [&] {
          return std::make_shared<LocalStore>(LocalStoreOptions{.onExists = row.policy});
        });
        left = dir.Files();
      }
      EXPECT_EQ(left, row.left);
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
}

// Under replace, a name another upload is writing is busy until it commits.
TEST(OnExistsTest, ReplaceHoldsTheNameWhileItIsWritten) {
  auto files = std::make_shared<MemoryFiles>();
  MemoryStore first(files), second(files);
  parcelmoor::Store::Ticket a = 0, b = 0;
  StoreFile file;
  ASSERT_FALSE(first.begin("/up/", "x.txt", &a, &file));
  EXPECT_EQ(second.begin("/up/", "x.txt", &b, &file), (StoreError{StoreCause::kNameBusy, EWOULDBLOCK}));
  ASSERT_FALSE(first.finish(a));
  EXPECT_FALSE(first.commit(std::vector<parcelmoor::Store::Ticket>{a})[0]);
  EXPECT_FALSE(second.begin("/up/", "x.txt", &b, &file));
}

}  // namespace
}  // namespace parcelmoor::testing
