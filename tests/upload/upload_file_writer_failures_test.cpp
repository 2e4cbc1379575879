// The writer when something fails or someone else is there: failed writes,
// commits and syncs, refused opens (with their codes and causes), another
// process writing the same name, and clean-ups that touch only its own files.
#include "upload/upload_file_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/failing_store.h"
#include "storage/local_store.h"
#include "storage/memory_store.h"
#include "upload/file_records_view.h"
#include "upload/upload_errors.h"
#include "upload/upload_file_writer_fixture.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Caught;
using testing::FakeFileLayer;
using testing::LockHolderProcess;
using testing::Named;
using testing::Pattern;
using testing::ReadFile;
using testing::Temporaries;
using testing::UploadFileWriterTest;

// Two files, a.txt (over an earlier one) and b.txt, through a store that
// fails one call: what the script is raised, what each record says, and
// what is left once committed. A failed file is never half kept, and the
// earlier file stays whole.
TEST(UploadFileWriterFaults, EachFailingStoreCallAndWhatIsLeft) {
  using Op = StoreOperation;
  const std::string earlier = "earlier";
  struct Row {
    const char* why;
    StoreFault fault;
    std::string raised;      // what the script was raised, in order ("; " between)
    std::string records[2];  // each record's outcome and error
    int commitFailures;
    std::map<std::string, std::string> left;
  };
  const Row rows[] = {
      {"nothing fails", {Op::kBegin, 99}, "", {"stored", "stored"}, 0, {{"a.txt", "new"}, {"b.txt", "b"}}},
      {"another upload writes the first name", {Op::kBegin, 1, false, {StoreCause::kNameBusy, EWOULDBLOCK}},
       "-20 CreateFile failed. GetLastError=32",
       {"failed -20 CreateFile failed. GetLastError=32", "stored"}, 0, {{"a.txt", earlier}, {"b.txt", "b"}}},
      {"a remote prefix that is missing, every time", {Op::kBegin, 1, true, {StoreCause::kNoDirectory, 0}},
       "-20 CreateFile failed. GetLastError=3; -20 CreateFile failed. GetLastError=3",
       {"failed -20 CreateFile failed. GetLastError=3", "failed -20 CreateFile failed. GetLastError=3"}, 0,
       {{"a.txt", earlier}}},
      {"the disk fills at the second write", {Op::kWrite, 2, false, {StoreCause::kDiskFull, ENOSPC}},
       "15001 file i/o. GetLastError returned --> 112",
       {"failed 15001 file i/o. GetLastError returned --> 112", "stored"}, 0, {{"a.txt", earlier}, {"b.txt", "b"}}},
      {"the first file cannot be closed", {Op::kFinish, 1, false, {StoreCause::kIo, EIO}}, "",
       {"failed 15001 file i/o. GetLastError returned --> 31", "stored"}, 0, {{"a.txt", earlier}, {"b.txt", "b"}}},
      {"the first file cannot be named", {Op::kCommit, 1, false, {StoreCause::kNotWritable, EACCES}}, "",
       {"failed 15001 MoveFileEx failed. GetLastError=5", "stored"}, 1, {{"a.txt", earlier}, {"b.txt", "b"}}},
      {"the second name is taken and may not be replaced", {Op::kCommit, 2, false, {StoreCause::kNameExists, EEXIST}},
       "", {"stored", "refused name-exists"}, 1, {{"a.txt", "new"}}},
      {"the store cannot be reached at commit", {Op::kCommit, 1, true, {StoreCause::kUnreachable, 0}}, "",
       {"failed 15001 MoveFileEx failed. GetLastError=31", "failed 15001 MoveFileEx failed. GetLastError=31"}, 2,
       {{"a.txt", earlier}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto files = std::make_shared<MemoryFiles>();
    files->put("/up/a.txt", earlier);
    UploadFileWriter writer;
    writer.setStore(std::make_shared<FailingStore>(std::make_shared<MemoryStore>(files), row.fault));
    std::string raised;
    for (const auto& [name, content] : {std::pair{"a.txt", "new"}, std::pair{"b.txt", "b"}}) {
      const std::string text = content;
      if (auto e = Caught([&] {
            writer.open("/up/", Named(name), std::nullopt);
            writer.write(Bytes(text), 1);  // two writes: the second may fail
            writer.write(Bytes(text) + 1, static_cast<int32_t>(text.size() - 1));
            writer.close();
          })) {
        raised += (raised.empty() ? "" : "; ") + std::to_string(e->number()) + " " + e->description();
      }
    }
    EXPECT_EQ(raised, row.raised);
    EXPECT_EQ(writer.commitAll(), row.commitFailures);
    for (size_t i = 0; i < 2; ++i) {
      const FileRecord& record = (*writer.records())[i];
      std::string said = FileOutcomeWord(record.outcome);
      if (record.error) said += " " + std::to_string(record.error->number()) + " " + record.error->description();
      if (!record.refusal.empty()) said += " " + record.refusal;
      EXPECT_EQ(said, row.records[i]);
    }
    std::map<std::string, std::string> left;
    for (const auto& [path, bytes] : files->committed()) left[path.substr(4)] = bytes;
    EXPECT_EQ(left, row.left);
    EXPECT_EQ(files->pending(), 0u);
  }
}

// With sync on, a file whose data cannot be made durable is never named.
TEST_F(UploadFileWriterTest, AFileWhoseDataCannotBeSyncedIsNotCommitted) {
  testing::WriteFile(PathOf("a.txt"), "earlier");
  writer.setStore(std::make_shared<LocalStore>(LocalStoreOptions{.sync = true}, files));
  Store("a.txt", "new");
  Store("b.txt", "b");
  files.failSyncs = true;
  EXPECT_EQ(writer.commitAll(), 2);
  EXPECT_EQ(files.syncCalls, 2);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "earlier"}}));
  EXPECT_EQ(writer.records()->back().storeError, (StoreError{StoreCause::kIo, EIO}));
  EXPECT_EQ(OnDisk(), 1u);
}

TEST_F(UploadFileWriterTest, OpenFailuresRaiseMinus20WithTheSystemCode) {
  testing::WriteFile(PathOf("plain.txt"), "x");
  fs::create_directory(dir.path() / "sub");
  // Another upload, in another process, is writing held.txt.
  LockHolderProcess other(Dir(), "held.txt");
  ASSERT_TRUE(other.holds());
  struct Row {
    const char* why;
    std::string directory;
    std::string name;
    std::string code;
    StoreCause cause;
  };
  const Row rows[] = {
      {"missing directory", Dir() + "none/", "a.txt", "3", StoreCause::kNoDirectory},
      {"a file used as a directory", Dir() + "plain.txt/", "a.txt", "3", StoreCause::kNoDirectory},
      {"a directory as the target", Dir(), "sub", "5", StoreCause::kIsDirectory},
      {"the private directory's name", Dir(), ".parcelmoor", "5", StoreCause::kIsDirectory},
      {"a name another upload writes", Dir(), "held.txt", "32", StoreCause::kNameBusy},
      {"a name too long", Dir(), std::string(300, 'n'), "206", StoreCause::kNameTooLong},
      {"a name with a separator", Dir(), "up/a.txt", "123", StoreCause::kNameRefused},
      {"a name that is the parent", Dir(), "..", "123", StoreCause::kNameRefused},
      {"a name with a control byte", Dir(), "a\x01.txt", "123", StoreCause::kNameRefused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto error = Caught([&] { writer.open(row.directory, Named(row.name), std::nullopt); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), -20);
    EXPECT_EQ(error->source(), "OpenFile");
    EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=" + row.code);
    EXPECT_EQ(writer.records()->back().storeError.cause, row.cause);
    EXPECT_EQ(writer.records()->back().outcome, FileOutcome::kFailed);
    EXPECT_FALSE(writer.isOpen());
  }
  EXPECT_EQ(ReadFile(PathOf("plain.txt")), "x");
  EXPECT_TRUE(files.openHandles().empty());
}

TEST_F(UploadFileWriterTest, ANameAnotherProcessWritesFailsWithSharingViolationAndStaysItsHolders) {
  LockHolderProcess other(Dir(), "a.txt");
  ASSERT_TRUE(other.holds());
  EXPECT_EQ(Temporaries(dir.str()).size(), 1u);
  auto error = Caught([&] { Open("a.txt"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=32");
  EXPECT_EQ(Temporaries(dir.str()).size(), 1u);
  other.Release();
  writer.releaseStored(true);
  Open("a.txt");
  EXPECT_TRUE(writer.isOpen());
  writer.close();
}

// Only the trailing "\\" the component appends separates; any other
// backslash is part of the directory's name.
TEST_F(UploadFileWriterTest, AbandonDeletesOnlyItsOwnFile) {
  Open("a.txt");
  Write("mine");
  // Right after the close someone puts another file at the temporary's name.
  const std::string pending = Pending();
  files.afterClose = [&] {
    files.afterClose = nullptr;
    fs::remove(pending);
    testing::WriteFile(pending, "theirs");
  };
  writer.abandon(true);
  EXPECT_EQ(ReadFile(pending), "theirs");
}

TEST_F(UploadFileWriterTest, AFileTheAbandonCouldNotDeleteIsLeftToTheSweep) {
  Open("a.txt");
  const std::string pending = Pending();
  files.failDeletes = true;
  writer.abandon(true);
  EXPECT_TRUE(fs::exists(pending));
  files.failDeletes = false;
  writer.releaseStored(true);
  EXPECT_TRUE(SweepTemporaries(dir.str()).empty()) << "its upload still lives";
  writer.setStore(std::make_shared<LocalStore>());  // the upload's store ends
  EXPECT_EQ(SweepTemporaries(dir.str()), std::vector<std::string>{pending});
  EXPECT_EQ(OnDisk(), 0u);
}

TEST_F(UploadFileWriterTest, ReleaseDeletesOnlyFilesStillItsOwnOrKeepsThemForGood) {
  Store("mine.txt", "1");
  Store("taken.txt", "2");
  Store("held.txt", "3");
  Store("twice.txt", "first");
  Store("twice.txt", "second");
  writer.commitAll();
  // Another upload replaces one file with its own, most likely under the
  // inode number ours just freed; another process is writing a third.
  fs::remove(PathOf("taken.txt"));
  testing::WriteFile(PathOf("taken.txt"), "theirs");
  LockHolderProcess other(Dir(), "held.txt");
  ASSERT_TRUE(other.holds());

  writer.releaseStored(true);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"taken.txt", "theirs"}}));
  EXPECT_EQ(Temporaries(dir.str()).size(), 1u) << "the other writer's";

  other.Release();
  Store("kept.txt", "k");
  writer.releaseStored(false);  // commits
  writer.releaseStored(true);  // kept files are handed over for good
  EXPECT_EQ(ReadFile(PathOf("kept.txt")), "k");
}

}  // namespace
}  // namespace parcelmoor
