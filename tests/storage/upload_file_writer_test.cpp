#include "storage/upload_file_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/fake_file_layer.h"
#include "storage/local_store.h"
#include "storage/lock_holder_process.h"
#include "storage/temporaries.h"
#include "storage/temporary_files.h"
#include "storage/upload_errors.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::FakeFileLayer;
using testing::LockHolderProcess;
using testing::ReadFile;
using testing::TempDir;
using testing::Temporaries;

template <class F>
std::optional<RaisedError> Caught(F&& f) {
  try {
    f();
  } catch (const RaisedError& e) {
    return e;
  }
  return std::nullopt;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

FileRecord Named(const std::string& fileName) {
  FileRecord file;
  file.fieldName = "field";
  file.fileName = fileName;
  return file;
}

class UploadFileWriterTest : public ::testing::Test {
 protected:
  UploadFileWriterTest() { writer.setFileLayer(files); }

  std::string PathOf(const std::string& name) const { return (dir.path() / name).string(); }
  std::string Dir() const { return dir.str() + "/"; }

  void Open(const std::string& name, std::optional<int64_t> limit = std::nullopt) {
    writer.open(Dir(), Named(name), limit);
  }
  void Write(const std::string& bytes) { writer.write(Bytes(bytes), static_cast<int32_t>(bytes.size())); }
  // Where the last opened file waits for its commit.
  std::string Pending() const { return writer.records()->back().pendingPath; }
  // Files this writer holds on disk: committed ones and temporaries.
  size_t OnDisk() const { return dir.Files().size() + Temporaries(dir.str()).size(); }
  // Opens, writes and closes `name`: a stored file, not yet committed.
  void Store(const std::string& name, const std::string& content) {
    Open(name);
    Write(content);
    writer.close();
  }

  TempDir dir;
  FakeFileLayer files;
  UploadFileWriter writer;
};

TEST_F(UploadFileWriterTest, SizeLimitCutsTheFileAndCountsEveryByte) {
  struct Case {
    const char* why;
    std::optional<int64_t> limit;
    int64_t sizeBefore;  // bytes already counted for the file
    std::vector<int32_t> offers;
    int writeCalls;
    size_t onDisk;
    int64_t sizeAfter;
    bool over;
  };
  constexpr int64_t kNear2GiB = 2147483600;
  const Case cases[] = {
      {"limit 100, offers of 60, 60, 60, 60, 10", 100, 0, {60, 60, 60, 60, 10}, 2, 100, 250, true},
      {"content of exactly the limit", 100, 0, {60, 40}, 2, 100, 100, false},
      {"first offer already past the limit", 100, 0, {150, 5}, 1, 100, 155, true},
      {"limit 0", 0, 0, {10, 5}, 0, 0, 15, true},
      {"negative limit", -7, 0, {1}, 0, 0, 1, true},
      {"no limit", std::nullopt, 0, {60, 60, 60}, 3, 180, 180, false},
      {"no limit, count passing 2 GiB", std::nullopt, kNear2GiB, {100, 100}, 2, 200, kNear2GiB + 200, false},
      {"limit near 2 GiB, clipped count in 64 bits", 2147483647, kNear2GiB, {100, 100}, 1, 47, kNear2GiB + 200,
       true},
      {"empty offers change nothing", 100, 0, {0, 0}, 0, 0, 0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string name = "f" + std::to_string(n++) + ".bin";
    Open(name, c.limit);
    // Bytes counted before are offered without being stored.
    files.discardWrites = true;
    const std::string one = "x";
    for (int64_t left = c.sizeBefore; left > 0; left -= INT32_MAX / 2) {
      writer.write(Bytes(one), static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX / 2)));
    }
    files.discardWrites = false;
    files.writeCalls = 0;
    files.writeSizes.clear();

    int64_t total = 0;
    for (int32_t offer : c.offers) total += offer;
    const std::string content = Pattern(static_cast<size_t>(total));
    int32_t at = 0;
    for (int32_t offer : c.offers) {
      writer.write(Bytes(content) + at, offer);
      at += offer;
    }
    writer.close();
    writer.commitAll();

    EXPECT_EQ(files.writeCalls, c.writeCalls);
    if (c.sizeBefore == 0) {
      EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, c.onDisk));
    }
    size_t written = 0;
    for (uint32_t size : files.writeSizes) written += size;
    EXPECT_EQ(written, c.onDisk);
    EXPECT_EQ(writer.size(), c.sizeAfter);
    EXPECT_EQ(writer.overLimit(), c.over);
  }
}

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

TEST_F(UploadFileWriterTest, EachFileRecordSaysWhatBecameOfIt) {
  using Act = std::function<void(UploadFileWriter&, FakeFileLayer&, const std::string& name)>;
  const std::string ten = "0123456789";
  auto write = [&](UploadFileWriter& w) { w.write(Bytes(ten), 10); };
  struct Row {
    const char* why;
    Act act;
    FileOutcome outcome;
    bool onDisk;
    int64_t stored;
    int32_t error;
  };
  auto open = [&](UploadFileWriter& w, const std::string& name, std::optional<int64_t> limit = std::nullopt) {
    w.open(Dir(), Named(name), limit);
  };
  const Row rows[] = {
      {"stored whole", [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.commitAll(); },
       FileOutcome::kStored, true, 10, 0},
      {"cut at the limit",
       [&](auto& w, auto&, auto& name) { open(w, name, 4), write(w), w.abandon(false), w.commitAll(); },
       FileOutcome::kCut, true, 4, 0},
      {"deleted over the limit", [&](auto& w, auto&, auto& name) { open(w, name, 4), write(w), w.abandon(true); },
       FileOutcome::kDeleted, false, 0, 0},
      {"a write that fails",
       [&](auto& w, auto& f, auto& name) { open(w, name), f.failWriteAt = 1, Caught([&] { write(w); }); },
       FileOutcome::kFailed, false, 0, 15001},
      {"an open that fails",
       [&](auto& w, auto&, auto& name) { Caught([&] { w.open(Dir() + "none/", Named(name), std::nullopt); }); },
       FileOutcome::kFailed, false, 0, -20},
      {"a rename that fails",
       [&](auto& w, auto& f, auto& name) { open(w, name), write(w), w.close(), f.failMoves = true, w.commitAll(); },
       FileOutcome::kFailed, false, 0, 15001},
      {"stored, but the upload did not arrive whole",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.releaseStored(true); },
       FileOutcome::kNotStored, false, 0, 0},
      {"finished, then discarded before its commit",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.close(), w.discardUncommitted(); },
       FileOutcome::kNotStored, false, 0, 0},
      {"the request ended inside it",
       [&](auto& w, auto&, auto& name) { open(w, name), write(w), w.abandon(false), w.releaseStored(true); },
       FileOutcome::kNotStored, false, 0, 0},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FakeFileLayer layer;
    UploadFileWriter w;
    w.setFileLayer(layer);
    const std::string name = "r" + std::to_string(n++) + ".bin";
    row.act(w, layer, name);
    const FileRecord record = w.records()->back();
    EXPECT_EQ(record.fieldName, "field");
    EXPECT_EQ(record.fileName, name);
    EXPECT_EQ(record.outcome, row.outcome);
    EXPECT_EQ(record.bytesReceived, row.error == -20 ? 0 : 10);
    EXPECT_EQ(record.bytesStored, row.stored);
    EXPECT_EQ(record.storedPath, row.onDisk ? PathOf(name) : "");
    EXPECT_EQ(record.pendingPath, "") << "committed or gone";
    EXPECT_EQ(record.error ? record.error->number() : 0, row.error);
    EXPECT_EQ(fs::exists(PathOf(name)), row.onDisk);
    if (row.onDisk) {
      EXPECT_EQ(fs::file_size(PathOf(name)), static_cast<uintmax_t>(row.stored));
    }
  }
}

TEST_F(UploadFileWriterTest, AnEarlierFileStaysWholeUntilTheCommitReplacesIt) {
  testing::WriteFile(PathOf("a.txt"), "earlier");
  Store("a.txt", "new");
  EXPECT_EQ(ReadFile(Pending()), "new");
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "earlier");
  writer.releaseStored(true);  // not committed: the upload did not arrive whole
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "earlier"}}));

  Store("a.txt", "new");
  EXPECT_EQ(writer.commitAll(), 0);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "new"}}));
  EXPECT_TRUE(files.openHandles().empty());
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
TEST_F(UploadFileWriterTest, OnlyTheTrailingBackslashOfTheDirectorySeparates) {
  fs::create_directory(dir.path() / "up\\load");
  fs::create_directories(dir.path() / "up" / "load");
  struct Row {
    std::string directory;
    fs::path expected;
  };
  const Row rows[] = {
      {dir.str() + "\\", dir.path() / "a.txt"},
      {dir.str() + "/up\\load\\", dir.path() / "up\\load" / "a.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.directory);
    writer.open(row.directory, Named("a.txt"), std::nullopt);
    Write("abc");
    writer.close();
    writer.commitAll();
    EXPECT_EQ(ReadFile(row.expected), "abc");
    EXPECT_EQ(writer.records()->back().storedPath, row.expected.string());
  }
  EXPECT_FALSE(fs::exists(dir.path() / "up" / "load" / "a.txt"));
}

TEST_F(UploadFileWriterTest, OfTwoFilesOfOneNameTheLaterWins) {
  Store("a.txt", "first");
  Store("b.txt", "b");
  Store("a.txt", "second");
  EXPECT_EQ(Temporaries(dir.str()).size(), 2u);
  writer.commitAll();
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "second"}, {"b.txt", "b"}}));
}

TEST_F(UploadFileWriterTest, DiscardGivesUpOnlyWhatIsNotCommitted) {
  Store("a.txt", "committed");
  writer.commitAll();
  Store("b.txt", "waiting");
  EXPECT_EQ(ReadFile(Pending()), "waiting");
  EXPECT_EQ(writer.records()->back().storedPath, PathOf("b.txt"));
  writer.discardUncommitted();
  EXPECT_EQ(writer.commitAll(), 0);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "committed"}}));
  EXPECT_EQ(OnDisk(), 1u);
  EXPECT_EQ(writer.records()->back().outcome, FileOutcome::kNotStored);
  EXPECT_EQ(writer.records()->front().outcome, FileOutcome::kStored);
}

TEST_F(UploadFileWriterTest, AbandonClosesAndDeletesOnlyWhenAsked) {
  for (const bool deleteFile : {false, true}) {
    SCOPED_TRACE(deleteFile ? "deleted" : "kept");
    const std::string name = deleteFile ? "d.bin" : "k.bin";
    const size_t storedBefore = OnDisk();
    Open(name, 100);
    const std::string content = Pattern(250);
    Write(content);
    writer.abandon(deleteFile);
    EXPECT_FALSE(writer.isOpen());
    writer.commitAll();
    EXPECT_TRUE(files.openHandles().empty());
    EXPECT_EQ(fs::exists(PathOf(name)), !deleteFile);
    if (!deleteFile) {
      EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, 100));
    }
    EXPECT_EQ(OnDisk(), storedBefore + (deleteFile ? 0 : 1));
    EXPECT_EQ(writer.size(), 250);
  }
}

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

TEST_F(UploadFileWriterTest, AbandonWithoutAnOpenFileDeletesNothing) {
  Store("a.txt", "stored");
  writer.abandon(true);
  writer.commitAll();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "stored");
  EXPECT_EQ(OnDisk(), 1u);
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
