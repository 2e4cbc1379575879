// The upload object as a script drives it: the directory property, the
// directory check, processing once, and binding to the page.

#include <gtest/gtest.h>

#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

TEST(UploadObjectTest, UploadDirectoryIsTrimmedOfSpacesAndEndsInBackslash) {
  struct Case {
    const char* given;
    const char* stored;
  };
  const Case cases[] = {
      {"  /srv/up  ", "/srv/up\\"},   {"C:\\dir\\", "C:\\dir\\"},  {"/srv/up/", "/srv/up/\\"},
      {"    ", ""},                   {"", ""},                     {"\t/srv/up ", "\t/srv/up\\"},
      {" my uploads ", "my uploads\\"},
  };
  for (const Case& c : cases) {
    UploadFile upload;
    upload.put_UploadDirectory("/previous");
    upload.put_UploadDirectory(c.given);
    // An empty or all-space value empties the directory.
    EXPECT_EQ(upload.get_UploadDirectory(), c.stored) << '"' << c.given << '"';
  }
}

TEST(UploadObjectTest, MissingDirectoryRaisesAndLeavesTheObjectReadyForAnotherCall) {
  TempDir dir;
  auto host = MemoryHost::FromBytes(Body({Field("t", "v")}));
  auto upload = UploadFile::Create();
  upload->OnStartPage(host);
  upload->put_UploadDirectory("   ");
  try {
    upload->storeUploadedFiles();
    FAIL() << "no error raised";
  } catch (const RaisedError& e) {
    EXPECT_EQ(e.number(), -2147221003);
    EXPECT_EQ(e.source(), "qeltUpload.dll");
    EXPECT_EQ(e.description(), "Directory Cannot be empty. Please set directory using setUploadDirectory function.");
  }
  EXPECT_EQ(host->binaryReadCalls(), 0);
  upload->put_UploadDirectory(dir.str());
  EXPECT_EQ(upload->storeUploadedFiles(), 1);
  EXPECT_EQ(ViewForm(*upload).size(), 1u);
}

TEST(UploadObjectTest, EmptyBodyWithoutDirectoryStillRaises) {
  auto host = MemoryHost::FromBytes("");
  UploadFile upload;
  upload.OnStartPage(host);
  EXPECT_THROW(upload.storeUploadedFiles(), RaisedError);
}

TEST(UploadObjectTest, SecondCallReturnsAtOnceAndTouchesNothing) {
  TempDir dir;
  StoreRun run = Store(Body({Field("t", "v"), File("f", "a.txt", "abc")}), dir);
  int32_t reads = run.host->binaryReadCalls();
  auto formBefore = run.upload->get_Form();
  EXPECT_EQ(run.upload->storeUploadedFiles(), 1);
  EXPECT_EQ(run.host->binaryReadCalls(), reads);
  EXPECT_EQ(run.upload->get_Form(), formBefore);
  EXPECT_EQ(ViewForm(*run.upload), run.form);
  EXPECT_EQ(dir.Files().at("a.txt"), "abc");
}

// A context whose request cannot be had.
class BrokenContext : public ScriptingContext {
 public:
  std::shared_ptr<HostRequest> Request() override { Raise(424, "ctx", "Object required"); }
  std::shared_ptr<HostResponse> Response() override { Raise(424, "ctx", "Object required"); }
};

TEST(UploadObjectTest, WithoutAHostRequestProcessingRaisesOnceAndThenReturns) {
  TempDir dir;
  UploadFile upload;
  upload.OnStartPage(std::make_shared<BrokenContext>());  // absorbed
  upload.put_UploadDirectory(dir.str());
  EXPECT_THROW(upload.storeUploadedFiles(), RaisedError);
  // Processing began: a later call returns at once.
  EXPECT_EQ(upload.storeUploadedFiles(), 1);
}

TEST(UploadObjectTest, ReleaseWithoutProcessingDeletesNothing) {
  TempDir dir;
  WriteFile(dir.path() / "keep.txt", "old");
  auto upload = UploadFile::Create();
  upload->put_UploadDirectory(dir.str());
  EXPECT_NO_THROW(upload->release());
  EXPECT_EQ(dir.Files().at("keep.txt"), "old");
}

TEST(UploadObjectTest, CompleteUploadKeepsFilesUnlessTheScriptAsksForAllOrNoneAgain) {
  for (bool askAgain : {false, true}) {
    TempDir dir;
    StoreRun run = Store(Body({File("f", "a.txt", "abc"), File("g", "b.txt", "de")}), dir);
    EXPECT_EQ(run.upload->get_UploadAllFilesOrNone(), kFalse);
    if (askAgain) run.upload->put_UploadAllFilesOrNone(kTrue);
    run.upload->release();
    EXPECT_EQ(dir.Files().size(), askAgain ? 0u : 2u);
  }
}

TEST(UploadObjectTest, CleanUpDeletesOnlyTheFilesThisUploadCreated) {
  TempDir dir;
  TempDir other;
  WriteFile(other.path() / "a.txt", "not ours");
  std::string body = Body({File("f", "a.txt", "abc")});
  StoreRun run = Store(body, dir, {.totalBytes = static_cast<int64_t>(body.size()) + 1});
  ASSERT_EQ(run.upload->get_UploadAllFilesOrNone(), kTrue);
  // The script points the object elsewhere after processing: the release
  // deletes the file it stored, never a file of the same name elsewhere.
  run.upload->put_UploadDirectory(other.str());
  run.upload->release();
  EXPECT_TRUE(dir.Files().empty());
  EXPECT_EQ(other.Files().at("a.txt"), "not ours");
}

// UploadOutcome, read by name before the release as a C host reads it,
// already tells what the release leaves: a body that stopped arriving says
// 400 and no file kept while its file is still on disk.
TEST(UploadObjectTest, UploadOutcomeTellsWhatTheReleaseLeaves) {
  const std::string body = Body({Field("t", "value"), File("f", "f.bin", std::string(3000, 'x'))});
  struct Case {
    const char* why;
    StoreSettings settings;
    int32_t status;
    int32_t filesStored;
    const char* word;
  };
  const Case cases[] = {
      {"whole", {}, 200, 1, ""},
      {"client gone inside the file", {.readPlan = {1000}, .disconnectAfter = 2500}, 400, 0, "incomplete"},
      {"text field too long", {.maxFieldSize = 2}, 413, 0, "field-too-large"},
      {"file over the limit deleted", {.maxFileSize = 100, .deleteMaxFile = true}, 413, 0, "file-too-large"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    StoreRun run = Store(body, dir, c.settings);
    std::vector<Variant> none;
    auto outcome = ObjectAs<Collection>(
        run.upload->Invoke(run.upload->GetIDOfName("uploadoutcome"), InvokeKind::kPropertyGet, none).asObject());
    auto key = [&](std::string_view name) { return outcome->Item(name); };
    EXPECT_EQ(key("Status").asInteger(), c.status) << c.why;
    EXPECT_EQ(key("FilesStored").asInteger(), c.filesStored) << c.why;
    EXPECT_EQ(key("Word").asText(), c.word) << c.why;
    EXPECT_EQ(key("Reason").asText().empty(), c.status == 200) << c.why;
    run.upload->release();
    EXPECT_EQ(static_cast<int32_t>(dir.Files().size()), c.filesStored) << c.why;
  }
}

}  // namespace
}  // namespace parcelmoor::testing
