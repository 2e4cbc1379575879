#include "storage/upload_file_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/fake_file_layer.h"
#include "storage/lock_holder_process.h"
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
  std::string TemporaryOf(const std::string& name) const { return PathOf(TemporaryNameFor(name)); }
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
  files.failWriteCode = modWin32::ERROR_DISK_FULL;
  Write("0123456789");
  auto error = Caught([&] { Write("abcdefghij"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->number(), 15001);
  EXPECT_EQ(error->source(), "File I/O Error");
  EXPECT_EQ(error->description(), "file i/o. GetLastError returned --> 112");
  EXPECT_EQ(writer.size(), 20);
  EXPECT_FALSE(writer.isOpen());
  EXPECT_TRUE(files.openHandles().empty());
  EXPECT_EQ(writer.storedFileCount(), 0u);
  writer.commitAll();
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.bin", "earlier"}}));
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
    EXPECT_EQ(record.error ? record.error->number() : 0, row.error);
    EXPECT_EQ(fs::exists(PathOf(name)), row.onDisk);
    if (row.onDisk) {
      EXPECT_EQ(fs::file_size(PathOf(name)), static_cast<uintmax_t>(row.stored));
    }
  }
}

TEST_F(UploadFileWriterTest, AnEarlierFileStaysWholeUntilTheCommitReplacesIt) {
  testing::WriteFile(PathOf("a.txt"), "earlier");
  // What a crashed writer left in the temporary is cut.
  testing::WriteFile(TemporaryOf("a.txt"), std::string(1000, 'o'));
  Store("a.txt", "new");
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
  EXPECT_EQ(writer.storedFileCount(), 0u);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "earlier"}}));
}

TEST_F(UploadFileWriterTest, OpenThatCannotCutTheOldBytesFailsAndHoldsNothing) {
  files.failTruncate = true;
  auto error = Caught([&] { Open("a.txt"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->number(), -20);
  EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=5");
  EXPECT_FALSE(writer.isOpen());
  EXPECT_TRUE(files.openHandles().empty());
  EXPECT_EQ(writer.storedFileCount(), 0u);
}

TEST_F(UploadFileWriterTest, OpenFailuresRaiseMinus20WithTheSystemCode) {
  testing::WriteFile(PathOf("plain.txt"), "x");
  fs::create_directory(dir.path() / "sub");
  // Another upload writing held.txt holds its temporary.
  const int32_t held = modWin32::FileLayer::Posix().CreateFileA(
      TemporaryOf("held.txt"), modWin32::GENERIC_WRITE, 0, modWin32::OPEN_ALWAYS, modWin32::FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(held, -1);
  struct Row {
    const char* why;
    std::string directory;
    std::string name;
    std::string code;
  };
  const Row rows[] = {
      {"missing directory", Dir() + "none/", "a.txt", "3"},
      {"a file used as a directory", Dir() + "plain.txt/", "a.txt", "3"},
      {"a directory as the target", Dir(), "sub", "5"},
      {"a name another upload writes", Dir(), "held.txt", "32"},
      {"a name too long", Dir(), std::string(300, 'n'), "206"},
      {"a name with a separator", Dir(), "up/a.txt", "123"},
      {"a name that is the parent", Dir(), "..", "123"},
      {"a name with a control byte", Dir(), "a\x01.txt", "123"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto error = Caught([&] { writer.open(row.directory, Named(row.name), std::nullopt); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), -20);
    EXPECT_EQ(error->source(), "OpenFile");
    EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=" + row.code);
    EXPECT_FALSE(writer.isOpen());
  }
  modWin32::FileLayer::Posix().CloseHandle(held);
  EXPECT_EQ(ReadFile(PathOf("plain.txt")), "x");
  EXPECT_EQ(writer.storedFileCount(), 0u);
}

TEST_F(UploadFileWriterTest, ANameAnotherProcessWritesFailsWithSharingViolationAndStaysItsHolders) {
  LockHolderProcess other(TemporaryOf("a.txt"));
  ASSERT_TRUE(other.holds());
  auto error = Caught([&] { Open("a.txt"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=32");
  other.Release();
  writer.releaseStored(true);
  EXPECT_TRUE(fs::exists(TemporaryOf("a.txt")));
  Open("a.txt");
  EXPECT_TRUE(writer.isOpen());
  writer.close();
}

TEST_F(UploadFileWriterTest, DirectoryGivenWithBackslashReachesTheFile) {
  writer.open(dir.str() + "\\", Named("a.txt"), std::nullopt);
  Write("abc");
  writer.close();
  writer.commitAll();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "abc");
}

TEST_F(UploadFileWriterTest, OfTwoFilesOfOneNameTheLaterWins) {
  Store("a.txt", "first");
  Store("b.txt", "b");
  Store("a.txt", "second");
  EXPECT_EQ(writer.storedFileCount(), 2u);
  writer.commitAll();
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"a.txt", "second"}, {"b.txt", "b"}}));
}

TEST_F(UploadFileWriterTest, AbandonClosesAndDeletesOnlyWhenAsked) {
  for (const bool deleteFile : {false, true}) {
    SCOPED_TRACE(deleteFile ? "deleted" : "kept");
    const std::string name = deleteFile ? "d.bin" : "k.bin";
    const size_t storedBefore = writer.storedFileCount();
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
    EXPECT_EQ(writer.storedFileCount(), storedBefore + (deleteFile ? 0 : 1));
    EXPECT_EQ(writer.size(), 250);
  }
}

TEST_F(UploadFileWriterTest, AbandonDeletesOnlyItsOwnFile) {
  Open("a.txt");
  Write("mine");
  // Right after the close another upload takes the temporary's name.
  files.afterClose = [&] {
    files.afterClose = nullptr;
    fs::remove(TemporaryOf("a.txt"));
    testing::WriteFile(TemporaryOf("a.txt"), "theirs");
  };
  writer.abandon(true);
  EXPECT_EQ(ReadFile(TemporaryOf("a.txt")), "theirs");
}

TEST_F(UploadFileWriterTest, AbandonWithoutAnOpenFileDeletesNothing) {
  Store("a.txt", "stored");
  writer.abandon(true);
  writer.commitAll();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "stored");
  EXPECT_EQ(writer.storedFileCount(), 1u);
}

TEST_F(UploadFileWriterTest, AFileTheAbandonCouldNotDeleteIsLeftToTheCleanUp) {
  Open("a.txt");
  files.failDeletes = true;
  writer.abandon(true);
  EXPECT_TRUE(fs::exists(TemporaryOf("a.txt")));
  EXPECT_EQ(writer.storedFileCount(), 1u);
  files.failDeletes = false;
  writer.releaseStored(true);
  EXPECT_TRUE(dir.Files().empty());
}

TEST_F(UploadFileWriterTest, ReleaseDeletesOnlyFilesStillItsOwnOrKeepsThemForGood) {
  Store("mine.txt", "1");
  Store("taken.txt", "2");
  Store("held.txt", "3");
  Store("twice.txt", "first");
  Store("twice.txt", "second");
  writer.commitAll();
  // Another upload replaces one file with its own, most likely under the
  // inode number ours just freed; another process holds a third.
  fs::remove(PathOf("taken.txt"));
  testing::WriteFile(PathOf("taken.txt"), "theirs");
  LockHolderProcess other(PathOf("held.txt"));
  ASSERT_TRUE(other.holds());

  writer.releaseStored(true);
  EXPECT_EQ(writer.storedFileCount(), 0u);
  EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"taken.txt", "theirs"}, {"held.txt", "3"}}));

  other.Release();
  Store("kept.txt", "k");
  writer.releaseStored(false);  // commits
  writer.releaseStored(true);  // kept files are handed over for good
  EXPECT_EQ(ReadFile(PathOf("kept.txt")), "k");
}

}  // namespace
}  // namespace parcelmoor
