// Release and the reset at storeUploadedFiles: Form emptied, the files of an
// upload that did not arrive whole deleted, an open file abandoned first.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/fake_file_layer.h"
#include "storage/temporary_files.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

namespace fs = std::filesystem;
using testing::Body;
using testing::FakeFileLayer;
using testing::Field;
using testing::File;
using testing::ReadFile;
using testing::Store;
using testing::TempDir;

std::shared_ptr<FormItem> ItemAt(UploadFile& upload, int32_t index) {
  return ObjectAs<FormItem>(upload.get_Form()->Item(index));
}

// Announces more bytes than the body holds: the upload never arrives whole.
int64_t Incomplete(const std::string& body) { return static_cast<int64_t>(body.size()) + 10; }

TEST(FormResetTest, EmptyFormBecomesANewCollection) {
  TempDir dir;
  auto run = Store(Body({}), dir);
  auto before = run.upload->get_Form();
  run.upload->release();
  auto after = run.upload->get_Form();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->Count(), 0);
}

TEST(FormResetTest, IncompleteUploadLosesItsFilesAndEveryItemAtRelease) {
  TempDir dir;
  const std::string body = Body({Field("a", "1"), File("f1", "C:\\dir\\x.txt", "content"), Field("b", "2")});
  auto run = Store(body, dir, {.totalBytes = Incomplete(body)});
  auto records = run.upload->fileRecords();
  const std::string pending = records->at(0).pendingPath;
  ASSERT_TRUE(fs::exists(pending));
  auto form = run.upload->get_Form();
  auto a = ItemAt(*run.upload, 1);
  auto f1 = ItemAt(*run.upload, 2);

  run.upload->release();

  EXPECT_FALSE(fs::exists(dir.path() / "x.txt"));
  EXPECT_FALSE(fs::exists(pending));
  EXPECT_EQ(records->at(0).outcome, FileOutcome::kNotStored);
  EXPECT_EQ(form->Count(), 0);
  EXPECT_NE(run.upload->get_Form(), form);
  // Items a script still holds stay usable.
  EXPECT_EQ(a->Name(), "a");
  EXPECT_EQ(f1->getFileSize(), 7);
}

TEST(FormResetTest, CompleteUploadKeepsItsFiles) {
  TempDir dir;
  auto run = Store(Body({File("f1", "x.txt", "content")}), dir);
  run.upload->release();
  EXPECT_EQ(ReadFile(dir.path() / "x.txt"), "content");
}

TEST(FormResetTest, ItemsGoFromLastToFirstAndAForeignEntryStopsTheWalk) {
  TempDir dir;
  const std::string body = Body({Field("a", "1"), File("f1", "x.txt", "content")});
  auto run = Store(body, dir, {.totalBytes = Incomplete(body)});
  auto form = run.upload->get_Form();
  form->Add(Variant("not an item"), "text");
  auto b = FormItem::Create();
  b->extractCDHeader("Content-Disposition: form-data; name=\"b\"", Collection::Create());
  form->Add(Variant(b), "b");

  try {
    run.upload->release();
    FAIL() << "an entry that is not a form item must raise";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), errnum::kTypeMismatch);
  }
  // b went, the text entry and the rest stay, and Form is not released.
  ASSERT_EQ(run.upload->get_Form(), form);
  ASSERT_EQ(form->Count(), 3);
  EXPECT_EQ(form->Item(3).asText(), "not an item");
  // The all-or-none rule does not depend on what Form holds.
  EXPECT_FALSE(fs::exists(dir.path() / "x.txt"));
}

TEST(FormResetTest, AChangedUploadDirectoryNeverRedirectsTheCleanUp) {
  TempDir dir;
  TempDir other;
  const std::string body = Body({File("f1", "x.txt", "ours")});
  auto run = Store(body, dir, {.totalBytes = Incomplete(body)});
  testing::WriteFile(other.path() / "x.txt", "someone else's");
  run.upload->put_UploadDirectory(other.str());
  run.upload->release();
  EXPECT_EQ(ReadFile(other.path() / "x.txt"), "someone else's");
  EXPECT_FALSE(fs::exists(dir.path() / "x.txt"));
}

TEST(FormResetTest, AFileTheBodyEndedInsideIsAbandonedBeforeItIsKept) {
  struct Case {
    const char* why;
    bool arrivedWhole;
    bool deleteMaxFile;
    bool fileKept;
  };
  const Case cases[] = {
      {"complete upload keeps the partial file", true, false, true},
      {"the abandon deletes it", true, true, false},
      {"the all-or-none rule deletes it", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    TempDir dir;
    FakeFileLayer files;
    // The body ends inside the file's content: the file is still open.
    const std::string body = Body({File("f1", "x.txt", std::string(30, 'p'))}, false);
    auto run = Store(body, dir,
                     {.totalBytes = c.arrivedWhole ? static_cast<int64_t>(body.size()) : Incomplete(body),
                      .deleteMaxFile = c.deleteMaxFile,
                      .fileLayer = &files});
    auto f1 = ItemAt(*run.upload, 1);
    auto form = run.upload->get_Form();

    run.upload->release();

    EXPECT_TRUE(files.openHandles().empty());
    EXPECT_EQ(f1->getFileSize(), 30);
    EXPECT_EQ(dir.Files().size(), c.fileKept ? 1u : 0u);
    EXPECT_EQ(fs::exists(dir.path() / "x.txt"), c.fileKept);
    EXPECT_EQ(form->Count(), 0);
  }
}

}  // namespace
}  // namespace parcelmoor
