// The part state machine through whole bodies: header recognition, the blank
// line that starts content, files under one field name, size limits, and file
// names that must never leave the upload directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

using Values = std::vector<std::optional<std::string>>;

std::string Raw(const std::vector<std::string>& lines) {
  std::string body;
  for (const auto& l : lines) body += l + "\r\n";
  return body;
}

const std::string kDelim = std::string("--") + kBoundary;
const std::string kClose = kDelim + "--";

TEST(PartStateMachineTest, RecognisesHeaderNamesByTheirBytes) {
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    Values values;  // of the single item; empty when no item is made
  };
  const Case cases[] = {
      {"upper case", {"CONTENT-DISPOSITION: form-data; name=\"a\""}, {"v"}},
      {"mixed case", {"content-Disposition: form-data; name=\"a\""}, {"v"}},
      {"underscore for hyphen", {"Content_Disposition: form-data; name=\"a\""}, {}},
      {"19 bytes is not a header", {"Content-Disposition"}, {}},
      {"20 bytes without parameters", {"Content-Disposition:"}, {"v"}},
      {"type before disposition", {"Content-Type: text/plain", "Content-Disposition: form-data; name=\"a\""}, {"v"}},
      {"type after disposition", {"Content-Disposition: form-data; name=\"a\"", "content-type: text/plain"}, {"v"}},
      {"file key inside a quoted name is text", {"Content-Disposition: form-data; name=\"x;filename=y\""}, {"v"}},
      {"unknown header between", {"Content-Disposition: form-data; name=\"a\"", "Content-Transfer-Encoding: 8bit"}, {"v"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> lines{kDelim};
    lines.insert(lines.end(), c.headers.begin(), c.headers.end());
    lines.insert(lines.end(), {"", "v", kClose});
    StoreRun run = Store(Raw(lines), dir);
    EXPECT_EQ(run.host->responseText(), "") << c.name;
    if (c.values.empty()) {
      EXPECT_TRUE(run.form.empty()) << c.name;
    } else {
      ASSERT_EQ(run.form.size(), 1u) << c.name;
      EXPECT_EQ(run.form[0].values, c.values) << c.name;
    }
  }
}

TEST(PartStateMachineTest, ContentTypeOfExactlyTwelveBytesDoesNotStartContent) {
  TempDir dir;
  // "Content-Type" alone is discarded, so the part without a disposition never
  // enters content; a 13-byte one does, and its content is skipped.
  for (const char* typeLine : {"Content-Type", "Content-Type:"}) {
    StoreRun run = Store(Raw({kDelim, "Content-Disposition: form-data; name=\"a\"", "", "first", kDelim, typeLine, "",
                              "orphan content", kClose}),
                         dir);
    ASSERT_EQ(run.form.size(), 1u) << typeLine;
    EXPECT_EQ(run.form[0].values, Values{"first"}) << typeLine;
    EXPECT_EQ(run.host->responseText(), "") << typeLine;
  }
}

TEST(PartStateMachineTest, EmptyValueAddsNoEntryAndValueShowsNull) {
  TempDir dir;
  StoreRun run = Store(Body({Field("e", ""), Field("m", "line1\r\nline2\r\n")}), dir);
  ASSERT_EQ(run.form.size(), 2u);
  EXPECT_EQ(run.form[0].values, Values{std::nullopt});
  EXPECT_EQ(run.form[1].values, Values{"line1\r\nline2\r\n"});
}

TEST(PartStateMachineTest, RepeatedFieldGathersOneEntryPerPart) {
  TempDir dir;
  std::string multiLine = "one\r\n--two\r\nthree" + std::string(70000, 'x');
  StoreRun run = Store(Body({Field("r", "a"), Field("r", multiLine), Field("r", "c")}), dir, {.readPlan = {7}});
  ASSERT_EQ(run.form.size(), 1u);
  EXPECT_TRUE(run.form[0].multipleValues);
  EXPECT_EQ(run.form[0].values, (Values{"a", multiLine, "c"}));
}

TEST(PartStateMachineTest, SeveralFilesUnderOneNameAreEachStoredUnderTheirOwnName) {
  TempDir dir;
  StoreRun run = Store(Body({File("docs", "C:\\in\\a.txt", "alpha"), File("docs", "b.txt", "bravo!"),
                             File("docs", "/x/c.bin", std::string(100000, 'c'))}),
                       dir, {.readPlan = {4000}});
  EXPECT_EQ(run.host->responseText(), "");
  ASSERT_EQ(run.form.size(), 1u);
  const ItemView& item = run.form[0];
  EXPECT_TRUE(item.isFile);
  EXPECT_EQ(item.fileName, "a.txt");
  EXPECT_EQ(item.fileSize, 5);
  EXPECT_EQ(item.values, (Values{"C:\\in\\a.txt", "b.txt", "/x/c.bin"}));
  auto files = dir.Files();
  EXPECT_EQ(files.size(), 3u);
  EXPECT_EQ(files["a.txt"], "alpha");
  EXPECT_EQ(files["b.txt"], "bravo!");
  EXPECT_EQ(files["c.bin"], std::string(100000, 'c'));
  // The merged files are subject to the all-or-none clean-up too.
  run.upload->put_UploadAllFilesOrNone(kTrue);
  run.upload->release();
  EXPECT_TRUE(dir.Files().empty());
}

TEST(PartStateMachineTest, FileAfterFieldOfTheSameNameIsStoredAndTheItemStaysAField) {
  TempDir dir;
  StoreRun run = Store(Body({Field("x", "plain"), File("x", "up.txt", "data")}), dir);
  ASSERT_EQ(run.form.size(), 1u);
  EXPECT_FALSE(run.form[0].isFile);
  EXPECT_EQ(run.form[0].values, (Values{"plain", "up.txt"}));
  EXPECT_EQ(dir.Files().at("up.txt"), "data");
}

TEST(PartStateMachineTest, LaterFileOfTheSameNameReplacesTheEarlier) {
  TempDir dir;
  WriteFile(dir.path() / "same.txt", "an older and much longer file");
  StoreRun run = Store(Body({File("f1", "same.txt", "first"), File("f2", "same.txt", "2nd")}), dir);
  ASSERT_EQ(run.form.size(), 2u);
  EXPECT_EQ(dir.Files().at("same.txt"), "2nd");
}

TEST(PartStateMachineTest, PartWithoutDispositionNeverReachesAnEarlierItem) {
  TempDir dir;
  std::string body = Raw({kDelim, "Content-Disposition: form-data; name=\"f\"; filename=\"keep.txt\"", "", "kept",
                          kDelim, "Content-Type: text/plain", "", "stray bytes", kDelim,
                          "Content-Disposition: form-data; name=\"t\"", "", "text", kClose});
  StoreRun run = Store(body, dir);
  ASSERT_EQ(run.form.size(), 2u);
  EXPECT_EQ(run.form[0].fileSize, 4);
  EXPECT_EQ(dir.Files().at("keep.txt"), "kept");
  EXPECT_EQ(run.form[1].values, Values{"text"});
}

TEST(PartStateMachineTest, SizeLimitCutsOrDropsTheFile) {
  struct Case {
    const char* name;
    size_t contentSize;
    bool deleteMaxFile;
    std::optional<size_t> onDisk;  // nullopt: no file
    std::optional<int64_t> bytesLimit = {};  // set through the C++ API instead of the 100-byte put
  };
  const Case cases[] = {
      {"exactly the limit", 100, false, 100},
      {"one byte over, kept cut", 101, false, 100},
      {"far over, kept cut", 250000, false, 100},
      {"over and deleted", 250000, true, std::nullopt},
      {"within and DeleteMaxFile", 99, true, 99},
      {"a limit past 32 bits, reading back as the largest 32-bit one", 250000, true, 250000, int64_t{1} << 32},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string content(c.contentSize, 'z');
    StoreSettings settings{.readPlan = {999}, .deleteMaxFile = c.deleteMaxFile};
    if (c.bytesLimit) {
      settings.maxFileSizeBytes = c.bytesLimit;
    } else {
      settings.maxFileSize = 100;
    }
    StoreRun run = Store(Body({File("f", "big.bin", content)}), dir, settings);
    EXPECT_EQ(run.upload->get_MaxFileSize(), c.bytesLimit ? INT32_MAX : 100) << c.name;
    ASSERT_EQ(run.form.size(), 1u) << c.name;
    EXPECT_EQ(run.form[0].fileSize, static_cast<int32_t>(c.contentSize)) << c.name;
    auto files = dir.Files();
    if (c.onDisk) {
      ASSERT_EQ(files.count("big.bin"), 1u) << c.name;
      EXPECT_EQ(files["big.bin"], content.substr(0, *c.onDisk)) << c.name;
    } else {
      EXPECT_EQ(files.count("big.bin"), 0u) << c.name;
    }
  }
}

TEST(PartStateMachineTest, EmptyFileNameFailsThePart) {
  TempDir dir;
  StoreRun run = Store(Body({File("f1", "", "x"), Field("later", "never read")}), dir);
  ASSERT_TRUE(run.upload->lastParseFailure());
  EXPECT_EQ(run.upload->lastParseFailure()->number(), -2147221001);
  EXPECT_EQ(run.upload->lastParseFailure()->description(), "No File uploaded for f1");
  ASSERT_EQ(run.form.size(), 1u);
  EXPECT_TRUE(dir.Files().empty());
}

// A file is opened once its part's headers are complete; a part whose
// headers never complete still stores its file, empty, as when the file was
// opened at its Content-Disposition line: at its delimiter line, at the end
// of a whole body, and before a header line too long for the parser.
TEST(PartStateMachineTest, AFileNamedInHeadersThatNeverCompleteIsStoredEmpty) {
  const std::string head = "Content-Disposition: form-data; name=\"f\"; filename=\"e.bin\"";
  struct Case {
    const char* why;
    std::string body;
    int32_t failure;  // 0: none
    std::vector<size_t> readPlan;
  };
  // The failure stops the reading: only a body read whole by then is kept.
  const Case cases[] = {
      {"the delimiter line follows the header", Raw({kDelim, head, kDelim, "Content-Disposition: form-data; name=\"a\"",
                                                     "", "1", kClose}),
       0, {5}},
      {"the body ends after the header", Raw({kDelim, head}), 0, {5}},
      {"a header line too long follows", Raw({kDelim, head, "X: " + std::string(3000, 'x')}), -2147220998, {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    StoreRun run = Store(c.body, dir, {.readPlan = c.readPlan});
    const auto& failure = run.upload->lastParseFailure();
    EXPECT_EQ(failure ? failure->number() : 0, c.failure) << c.why;
    run.upload->release();
    EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"e.bin", ""}})) << c.why;
  }
}

// Every file and directory below `root`, with file contents.
std::set<std::string> Snapshot(const std::filesystem::path& root) {
  std::set<std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    entries.insert(e.path().string() + (e.is_regular_file() ? "=" + ReadFile(e.path()) : ""));
  }
  return entries;
}

TEST(PartStateMachineTest, UnsafeFileNamesTouchNothingAndFailAsAnInvalidName) {
  const char* names[] = {"..", ".", "dir\\..", "C:/x\\y/z.txt", "a\x01.txt", "tab\there", "del\x7f"};
  for (const char* name : names) {
    TempDir root;
    std::filesystem::create_directories(root.path() / "up");
    WriteFile(root.path() / "outside.txt", "sentinel");
    WriteFile(root.path() / "up" / "inside.txt", "sentinel");
    auto before = Snapshot(root.path());
    StoreRun run;
    run.host = MemoryHost::FromBytes(Body({File("f", name, "payload")}));
    run.upload = UploadFile::Create();
    run.upload->OnStartPage(run.host);
    run.upload->put_UploadDirectory((root.path() / "up").string());
    run.upload->storeUploadedFiles();
    ASSERT_TRUE(run.upload->lastParseFailure()) << name;
    EXPECT_EQ(run.upload->lastParseFailure()->number(), -20) << name;
    EXPECT_EQ(run.upload->lastParseFailure()->source(), "OpenFile") << name;
    EXPECT_EQ(run.upload->lastParseFailure()->description(),
              "The following error coccured while storing uploaded file CreateFile failed. GetLastError=123")
        << name;
    run.upload->release();
    EXPECT_EQ(Snapshot(root.path()), before) << name;
  }
}

}  // namespace
}  // namespace parcelmoor::testing
