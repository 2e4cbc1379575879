#include "storage/upload_file_test_peer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "storage/fake_file_layer.h"
#include "storage/lock_holder_process.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::FakeFileLayer;
using testing::LockHolderProcess;
using testing::ReadFile;
using testing::TempDir;

constexpr const char* kFileHeader = R"(Content-Disposition: form-data; name="f1"; filename="C:\dir\a.txt")";

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

std::vector<std::optional<std::string>> Values(FormItem& item) {
  std::vector<std::optional<std::string>> out;
  auto values = item.Value();
  for (int32_t i = 1; i <= values->Count(); ++i) {
    const Variant& v = values->Item(i);
    out.push_back(v.isNull() ? std::nullopt : std::optional<std::string>(v.asText()));
  }
  return out;
}

class UploadFileWriterTest : public ::testing::Test {
 protected:
  UploadFileWriterTest() { upload->setFileLayer(files); }

  std::string PathOf(const std::string& name) const { return (dir.path() / name).string(); }

  // As the part state machine leaves things when a file part's content starts.
  void StartFilePart(const std::string& name) {
    peer.strFilePath() = PathOf(name);
    peer.lInFilePart() = 1;
    peer.lFileSize() = 0;
    peer.bMaxSizeExceeded() = kFalse;
    peer.openUploadFile();
  }

  // A file item, as the current item of the part being received.
  std::shared_ptr<FormItem> CurrentFileItem() {
    auto item = FormItem::Create();
    item->extractCDHeader(kFileHeader, Collection::Create());
    peer.objCurrentItem() = item;
    peer.partHasItem() = true;
    peer.fileIsItemsOwn() = true;
    return item;
  }

  TempDir dir;
  FakeFileLayer files;
  std::shared_ptr<UploadFile> upload = UploadFile::Create();
  UploadFileTestPeer peer{*upload};
};

TEST_F(UploadFileWriterTest, SizeLimitCutsTheFileAndCountsEveryByte) {
  struct Case {
    const char* why;
    bool limitAssigned;
    int32_t limit;
    int64_t sizeBefore;  // bytes already counted for the part
    std::vector<int32_t> offers;
    int writeCalls;
    size_t onDisk;
    int64_t sizeAfter;
    bool exceeded;
  };
  constexpr int64_t kNear2GiB = 2147483600;
  const Case cases[] = {
      {"limit 100, offers of 60, 60, 60, 60, 10", true, 100, 0, {60, 60, 60, 60, 10}, 2, 100, 250, true},
      {"content of exactly the limit", true, 100, 0, {60, 40}, 2, 100, 100, false},
      {"first offer already past the limit", true, 100, 0, {150, 5}, 1, 100, 155, true},
      {"limit 0", true, 0, 0, {10, 5}, 0, 0, 15, true},
      {"negative limit", true, -7, 0, {1}, 0, 0, 1, true},
      {"no limit assigned", false, 2147483647, 0, {60, 60, 60}, 3, 180, 180, false},
      {"no limit assigned, count passing 2 GiB", false, 2147483647, kNear2GiB, {100, 100}, 2, 200,
       kNear2GiB + 200, false},
      {"no limit assigned, smaller maximum left from construction", false, 10, 0, {60}, 1, 60, 60, false},
      {"limit near 2 GiB, clipped count in 64 bits", true, 2147483647, kNear2GiB, {100, 100}, 1, 47,
       kNear2GiB + 200, true},
      {"empty offers change nothing", true, 100, 0, {0, 0}, 0, 0, 0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto item = CurrentFileItem();
    const std::string name = "f" + std::to_string(n++) + ".bin";
    StartFilePart(name);
    peer.lMaxFileSizeSet() = c.limitAssigned ? -1 : 0;
    peer.lMaxFileSize() = c.limit;
    peer.lFileSize() = c.sizeBefore;
    files.writeCalls = 0;

    int64_t total = 0;
    for (int32_t offer : c.offers) total += offer;
    // Content sits after a prefix, so that `start` is honoured.
    const std::string content = Pattern(static_cast<size_t>(total));
    const std::string buffer = "####" + content;
    int32_t at = 4;
    for (int32_t offer : c.offers) {
      peer.writeBytes(reinterpret_cast<const uint8_t*>(buffer.data()), offer, at);
      at += offer;
    }
    peer.closeUploadFile();

    EXPECT_EQ(files.writeCalls, c.writeCalls);
    EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, c.onDisk));
    EXPECT_EQ(peer.lFileSize(), c.sizeAfter);
    EXPECT_EQ(peer.bMaxSizeExceeded() != 0, c.exceeded);
  }
}

TEST_F(UploadFileWriterTest, AStoppedWriteRaisesWithTheSystemCodeAndLeavesTheFileOpen) {
  CurrentFileItem();
  StartFilePart("a.bin");
  files.failWriteAt = 2;
  files.failWriteCode = modWin32::ERROR_DISK_FULL;
  peer.writeBytes("0123456789");
  auto error = Caught([&] { peer.writeBytes("abcdefghij"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->number(), 15001);
  EXPECT_EQ(error->source(), "File I/O Error");
  EXPECT_EQ(error->description(), "file i/o. GetLastError returned --> 112");
  EXPECT_EQ(peer.lFileSize(), 20);
  EXPECT_NE(peer.hFile(), -1);
  EXPECT_EQ(files.openHandles().size(), 1u);
}

TEST_F(UploadFileWriterTest, OpenCutsTheBytesOfAFileThatCouldNotBeDeleted) {
  testing::WriteFile(PathOf("a.txt"), std::string(1000, 'o'));
  files.failDeletes = true;
  // The part state machine deletes the old file first; here that fails.
  EXPECT_FALSE(files.DeleteFileA(PathOf("a.txt")));
  CurrentFileItem();
  StartFilePart("a.txt");
  peer.writeBytes("new");
  peer.closeUploadFile();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "new");
}

TEST_F(UploadFileWriterTest, OpenThatCannotCutTheOldBytesFailsAndHoldsNothing) {
  testing::WriteFile(PathOf("a.txt"), "old");
  files.failTruncate = true;
  auto error = Caught([&] { StartFilePart("a.txt"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->number(), -20);
  EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=5");
  EXPECT_EQ(peer.hFile(), -1);
  EXPECT_TRUE(files.openHandles().empty());
  EXPECT_EQ(upload->storedFileCount(), 0u);
}

TEST_F(UploadFileWriterTest, OpenFailuresRaiseMinus20WithTheSystemCode) {
  testing::WriteFile(PathOf("plain.txt"), "x");
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink(dir.path() / "plain.txt", dir.path() / "link.txt");
  const int32_t held = modWin32::FileLayer::Posix().CreateFileA(
      PathOf("held.txt"), modWin32::GENERIC_WRITE, 0, modWin32::OPEN_ALWAYS, modWin32::FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(held, -1);
  struct Row {
    const char* why;
    std::string name;
    std::string code;
  };
  const Row rows[] = {
      {"missing directory", "none/a.txt", "3"},
      {"a file used as a directory", "plain.txt/a.txt", "3"},
      {"a directory as the target", "sub", "5"},
      {"a symbolic link as the target", "link.txt", "5"},
      {"a file another handle holds", "held.txt", "32"},
      {"a name too long", std::string(300, 'n'), "206"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto error = Caught([&] { StartFilePart(row.name); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number(), -20);
    EXPECT_EQ(error->source(), "OpenFile");
    EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=" + row.code);
    EXPECT_EQ(peer.hFile(), -1);
  }
  modWin32::FileLayer::Posix().CloseHandle(held);
  EXPECT_EQ(ReadFile(PathOf("plain.txt")), "x");
  EXPECT_EQ(upload->storedFileCount(), 0u);
}

TEST_F(UploadFileWriterTest, AFileAnotherProcessHoldsFailsWithSharingViolation) {
  LockHolderProcess other(PathOf("a.txt"));
  ASSERT_TRUE(other.holds());
  auto error = Caught([&] { StartFilePart("a.txt"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description(), "CreateFile failed. GetLastError=32");
  other.Release();
  StartFilePart("a.txt");
  EXPECT_NE(peer.hFile(), -1);
  peer.closeUploadFile();
}

TEST_F(UploadFileWriterTest, DirectoryGivenWithBackslashReachesTheFile) {
  peer.strFilePath() = dir.str() + "\\a.txt";
  peer.lInFilePart() = 1;
  peer.openUploadFile();
  peer.writeBytes("abc");
  peer.closeUploadFile();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "abc");
}

TEST_F(UploadFileWriterTest, EachOpenedFileIsRecordedOnce) {
  StartFilePart("a.txt");
  peer.closeUploadFile();
  StartFilePart("b.txt");
  peer.closeUploadFile();
  EXPECT_EQ(upload->storedFileCount(), 2u);
  // The same file met again (its old name could not be deleted).
  StartFilePart("a.txt");
  peer.closeUploadFile();
  EXPECT_EQ(upload->storedFileCount(), 2u);
}

TEST_F(UploadFileWriterTest, FieldContentOfOnePartIsOneEntry) {
  struct Case {
    const char* why;
    bool repeatedField;  // the item holds multiple values already
    std::vector<std::string> pieces;
    std::vector<std::optional<std::string>> values;
  };
  const Case cases[] = {
      {"pieces of one value join", false, {"li", "ne 1\r", "\nline 2"}, {"line 1\r\nline 2"}},
      {"a repeated field still gets one entry per part", true, {"x", "\r\n", "y"}, {"first", "x\r\ny"}},
      {"bytes kept exactly", false, {std::string("\0\xff\xc3", 3), std::string("\xa9", 1)},
       {std::string("\0\xff\xc3\xa9", 4)}},
      {"empty pieces add nothing", true, {"", "v", ""}, {"first", "v"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto item = FormItem::Create();
    if (c.repeatedField) {
      item->setValue("first");
      item->MultipleValues();
    }
    peer.objCurrentItem() = item;
    peer.partHasItem() = true;
    peer.valueStarted() = false;
    peer.lInFilePart() = 0;
    for (const std::string& piece : c.pieces) peer.writeBytes(piece);
    EXPECT_EQ(Values(*item), c.values);
    EXPECT_EQ(peer.lFileSize(), 0);
  }
  EXPECT_EQ(files.writeCalls, 0);
}

TEST_F(UploadFileWriterTest, ContentOfAPartWithoutAnItemIsSkipped) {
  auto earlier = FormItem::Create();
  earlier->setValue("kept");
  peer.objCurrentItem() = earlier;
  peer.partHasItem() = false;
  peer.lInFilePart() = 0;
  peer.writeBytes("stray");
  EXPECT_EQ(Values(*earlier), std::vector<std::optional<std::string>>{"kept"});

  peer.objCurrentItem() = nullptr;
  peer.partHasItem() = true;
  peer.writeBytes("stray");  // nothing to hand it to, and no failure
  EXPECT_FALSE(peer.valueStarted());
}

TEST_F(UploadFileWriterTest, AbandonRecordsTheSizeClosesAndDeletesWhenAsked) {
  struct Case {
    const char* why;
    bool deleteMaxFile;
    bool itemsOwnFile;
    bool fileKept;
    int64_t itemSize;
  };
  const Case cases[] = {
      {"kept, clipped, item gets the full count", false, true, true, 250},
      {"deleted, item still gets the full count", true, true, false, 250},
      {"a later file under the same name leaves the item's size", false, false, true, 7},
      {"a later file deleted, item's size untouched", true, false, false, 7},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto item = CurrentFileItem();
    item->setFileSize(7);
    peer.fileIsItemsOwn() = c.itemsOwnFile;
    peer.bDeleteMaxFile() = ToBoolean(c.deleteMaxFile);
    const std::string name = "f" + std::to_string(n++) + ".bin";
    const size_t storedBefore = upload->storedFileCount();
    StartFilePart(name);
    peer.lMaxFileSizeSet() = -1;
    peer.lMaxFileSize() = 100;
    const std::string content = Pattern(250);
    peer.writeBytes(content);

    peer.abandonUploadFile();

    EXPECT_EQ(peer.hFile(), -1);
    EXPECT_TRUE(files.openHandles().empty());
    EXPECT_EQ(item->fileSize64(), c.itemSize);
    EXPECT_EQ(fs::exists(PathOf(name)), c.fileKept);
    if (c.fileKept) {
      EXPECT_EQ(ReadFile(PathOf(name)), content.substr(0, 100));
    }
    EXPECT_EQ(upload->storedFileCount(), storedBefore + (c.fileKept ? 1 : 0));
    // The callers reset these, not the abandon.
    EXPECT_EQ(peer.lFileSize(), 250);
    EXPECT_EQ(peer.lInFilePart(), 1);
    EXPECT_NE(peer.bMaxSizeExceeded(), 0);
  }
}

TEST_F(UploadFileWriterTest, AbandonDeletesOnlyItsOwnFile) {
  CurrentFileItem();
  peer.bDeleteMaxFile() = kTrue;
  StartFilePart("a.txt");
  peer.writeBytes("mine");
  // Right after the close another upload takes the name.
  files.afterClose = [&] {
    files.afterClose = nullptr;
    fs::remove(PathOf("a.txt"));
    testing::WriteFile(PathOf("a.txt"), "theirs");
  };
  peer.abandonUploadFile();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "theirs");
}

TEST_F(UploadFileWriterTest, AbandonWithoutAnOpenFileDeletesNothing) {
  testing::WriteFile(PathOf("a.txt"), "someone's");
  peer.strFilePath() = PathOf("a.txt");
  peer.bDeleteMaxFile() = kTrue;
  peer.objCurrentItem() = nullptr;
  peer.abandonUploadFile();
  EXPECT_EQ(ReadFile(PathOf("a.txt")), "someone's");
  EXPECT_EQ(peer.hFile(), -1);
}

TEST_F(UploadFileWriterTest, AFileTheAbandonCouldNotDeleteIsLeftToTheCleanUp) {
  CurrentFileItem();
  peer.bDeleteMaxFile() = kTrue;
  StartFilePart("a.txt");
  files.failDeletes = true;
  peer.abandonUploadFile();
  EXPECT_TRUE(fs::exists(PathOf("a.txt")));
  EXPECT_EQ(upload->storedFileCount(), 1u);

  files.failDeletes = false;
  upload->release();  // the upload never completed: all or none
  EXPECT_FALSE(fs::exists(PathOf("a.txt")));
}

}  // namespace
}  // namespace parcelmoor
