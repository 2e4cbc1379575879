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

#include "storage/local_store.h"
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

TEST_F(UploadFileWriterTest, AFailedWriteDeletesTheFileAndRaisesWithTheSystemCode) {
  testing::WriteFile(PathOf("a.bin"), "earlier");
  Open("a.bin");
  files.failWriteAt = 2;
  files.failWriteErrno = ENOSPC;
  Write("0123456789");
  auto error = Caught([&] { Write("abcdefghij"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->number(), 15001);
  EXPECT_EQ(error->source(), "File I/O Error");
  EXPECT_EQ(error->description(), "file i/o. GetLastError returned --> 112");
  EXPECT_EQ(writer.size(), 20);
  EXPECT_FALSE(writer.isOpen());
  EXPECT_TRUE(files.openHandles().empty());
  EXPECT_EQ(writer.records()->back().storeError, (StoreError{StoreCause::kDiskFull, ENOSPC}));
  writer.commitAll();
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.bin", "earlier"}}));
  EXPECT_EQ(OnDisk(), 1u);
}

TEST_F(UploadFileWriterTest, AFileThatCannotBeCommittedIsDeleted) {
  testing::WriteFile(PathOf("a.txt"), "earlier");
  Store("a.txt", "new");
  files.failMoves = true;
  EXPECT_EQ(writer.commitAll(), 1);
  EXPECT_EQ(OnDisk(), 1u);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "earlier"}}));
  EXPECT_EQ(writer.records()->back().error->description(), "MoveFileEx failed. GetLastError=5");
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
