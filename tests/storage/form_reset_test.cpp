#include "storage/upload_file_test_peer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

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

// An item described by `header`, added to `form` under its name.
std::shared_ptr<FormItem> Item(const std::string& header, const std::shared_ptr<Collection>& form) {
  auto item = FormItem::Create();
  item->extractCDHeader(header, Collection::Create());
  form->Add(item, item->Name());
  return item;
}

std::shared_ptr<FormItem> FieldItem(const std::string& name, const std::shared_ptr<Collection>& form) {
  return Item("Content-Disposition: form-data; name=\"" + name + "\"", form);
}

std::shared_ptr<FormItem> FileItem(const std::string& name, const std::string& fileName,
                                   const std::shared_ptr<Collection>& form) {
  return Item("Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"", form);
}

class FormResetTest : public ::testing::Test {
 protected:
  FormResetTest() {
    upload->setFileLayer(files);
    upload->put_UploadDirectory(dir.str());
  }

  std::string PathOf(const std::string& name) const { return (dir.path() / name).string(); }

  // Stores `content` as the file part of `item`, as the part state machine
  // does: delete the old file, open, write, size the item, close.
  void StoreFile(const std::shared_ptr<FormItem>& item, const std::string& path, const std::string& content) {
    files.DeleteFileA(path);
    peer.objCurrentItem() = item;
    peer.partHasItem() = true;
    peer.fileIsItemsOwn() = true;
    peer.strFilePath() = path;
    peer.lInFilePart() = 1;
    peer.lFileSize() = 0;
    peer.openUploadFile();
    peer.writeBytes(content);
    item->setFileSize(peer.lFileSize());
    peer.closeUploadFile();
    peer.lInFilePart() = 0;
    peer.lFileSize() = 0;
  }

  TempDir dir;
  FakeFileLayer files;
  std::shared_ptr<UploadFile> upload = UploadFile::Create();
  UploadFileTestPeer peer{*upload};
};

TEST_F(FormResetTest, EmptyFormBecomesANewCollection) {
  auto before = upload->get_Form();
  peer.resetForm();
  EXPECT_EQ(peer.Form(), nullptr);
  auto after = upload->get_Form();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->Count(), 0);
  EXPECT_TRUE(files.deleteRequests.empty());
}

TEST_F(FormResetTest, IncompleteUploadLosesItsFilesAndEveryItem) {
  auto form = upload->get_Form();
  auto a = FieldItem("a", form);
  auto f1 = FileItem("f1", "C:\\dir\\x.txt", form);
  FieldItem("b", form);
  StoreFile(f1, PathOf("x.txt"), "content");
  ASSERT_TRUE(fs::exists(PathOf("x.txt")));

  peer.bUploadAllFilesOrNone() = kTrue;
  peer.resetForm();

  EXPECT_FALSE(fs::exists(PathOf("x.txt")));
  EXPECT_EQ(upload->storedFileCount(), 0u);
  EXPECT_EQ(form->Count(), 0);
  EXPECT_EQ(upload->get_Form()->Count(), 0);
  EXPECT_NE(upload->get_Form(), form);
  EXPECT_EQ(peer.objCurrentItem(), nullptr);
  // Items a script still holds stay usable.
  EXPECT_EQ(a->Name(), "a");
  EXPECT_EQ(f1->getFileSize(), 7);
}

TEST_F(FormResetTest, CompleteUploadKeepsItsFiles) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "content");
  peer.bUploadAllFilesOrNone() = kFalse;
  peer.resetForm();
  EXPECT_EQ(ReadFile(PathOf("x.txt")), "content");
  EXPECT_EQ(form->Count(), 0);
  // Kept files are handed over for good: a later reset never deletes them.
  peer.bUploadAllFilesOrNone() = kTrue;
  upload->release();
  EXPECT_EQ(ReadFile(PathOf("x.txt")), "content");
}

TEST_F(FormResetTest, ItemsGoFromLastToFirstAndAForeignEntryStopsTheWalk) {
  auto form = upload->get_Form();
  FieldItem("a", form);
  form->Add(Variant("not an item"), "text");
  FieldItem("b", form);
  auto f1 = FileItem("f1", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "content");

  try {
    peer.resetForm();
    FAIL() << "an entry that is not a form item must raise";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), errnum::kTypeMismatch);
  }
  // f1 and b went, the text entry and a stay, and Form is not released.
  ASSERT_EQ(peer.Form(), form);
  ASSERT_EQ(form->Count(), 2);
  EXPECT_EQ(ObjectAs<FormItem>(form->Item(1))->Name(), "a");
  EXPECT_EQ(form->Item(2).asText(), "not an item");
  // The all-or-none rule does not depend on what Form holds.
  EXPECT_FALSE(fs::exists(PathOf("x.txt")));
}

TEST_F(FormResetTest, AChangedUploadDirectoryNeverRedirectsTheCleanUp) {
  TempDir other;
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "ours");
  testing::WriteFile(other.path() / "x.txt", "someone else's");

  upload->put_UploadDirectory(other.str());
  peer.resetForm();

  EXPECT_EQ(ReadFile(other.path() / "x.txt"), "someone else's");
  EXPECT_FALSE(fs::exists(PathOf("x.txt")));
}

TEST_F(FormResetTest, AFileThatTookTheNameLaterIsNotDeleted) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "ours");
  // Another upload replaces our file with its own, most likely under the
  // inode number ours just freed.
  fs::remove(PathOf("x.txt"));
  testing::WriteFile(PathOf("x.txt"), "theirs");

  peer.resetForm();
  EXPECT_EQ(ReadFile(PathOf("x.txt")), "theirs");
}

TEST_F(FormResetTest, AFileWhoseOpenFailedBelongsToItsHolder) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  LockHolderProcess other(PathOf("x.txt"));
  ASSERT_TRUE(other.holds());
  EXPECT_THROW(StoreFile(f1, PathOf("x.txt"), "ours"), RaisedError);
  other.Release();

  peer.resetForm();
  EXPECT_TRUE(fs::exists(PathOf("x.txt")));
}

TEST_F(FormResetTest, AFileInUseElsewhereIsSkippedAndTheRestDeleted) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  auto f2 = FileItem("f2", "y.txt", form);
  StoreFile(f1, PathOf("x.txt"), "one");
  StoreFile(f2, PathOf("y.txt"), "two");
  LockHolderProcess other(PathOf("x.txt"));
  ASSERT_TRUE(other.holds());

  peer.resetForm();
  EXPECT_TRUE(fs::exists(PathOf("x.txt")));
  EXPECT_FALSE(fs::exists(PathOf("y.txt")));
  EXPECT_EQ(form->Count(), 0);
}

TEST_F(FormResetTest, TwoItemsOfOneFileNameShareOneFile) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  auto f2 = FileItem("f2", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "first");
  StoreFile(f2, PathOf("x.txt"), "second");
  EXPECT_EQ(ReadFile(PathOf("x.txt")), "second");
  peer.resetForm();
  EXPECT_FALSE(fs::exists(PathOf("x.txt")));
}

TEST_F(FormResetTest, AnOpenFileIsAbandonedFirst) {
  struct Case {
    const char* why;
    bool allOrNone;
    bool deleteMaxFile;
    bool fileKept;
  };
  const Case cases[] = {
      {"complete upload keeps the partial file", false, false, true},
      {"the abandon deletes it", false, true, false},
      {"the all-or-none rule deletes it", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    TempDir here;
    const std::string path = (here.path() / "x.txt").string();
    auto form = upload->get_Form();
    auto f1 = FileItem("f1", "x.txt", form);
    peer.objCurrentItem() = f1;
    peer.fileIsItemsOwn() = true;
    peer.strFilePath() = path;
    peer.lInFilePart() = 1;
    peer.lFileSize() = 0;
    peer.openUploadFile();
    peer.writeBytes(std::string(30, 'p'));
    peer.bUploadAllFilesOrNone() = ToBoolean(c.allOrNone);
    peer.bDeleteMaxFile() = ToBoolean(c.deleteMaxFile);

    peer.resetForm();

    EXPECT_EQ(peer.hFile(), -1);
    EXPECT_TRUE(files.openHandles().empty());
    EXPECT_EQ(f1->getFileSize(), 30);
    EXPECT_EQ(fs::exists(path), c.fileKept);
    EXPECT_EQ(form->Count(), 0);
  }
}

TEST_F(FormResetTest, ReleaseOfAnIncompleteUploadDeletesItsFiles) {
  auto form = upload->get_Form();
  auto f1 = FileItem("f1", "x.txt", form);
  StoreFile(f1, PathOf("x.txt"), "content");
  upload->release();
  EXPECT_FALSE(fs::exists(PathOf("x.txt")));
  EXPECT_EQ(form->Count(), 0);
  EXPECT_EQ(peer.Form(), nullptr);
}

}  // namespace
}  // namespace parcelmoor
