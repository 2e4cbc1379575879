// The line scanner through whole bodies: line ends, CR runs, delimiter-like
// lines, the close delimiter, empty values, over-long lines. Every case runs
// with many read plans (whole reads, small fixed sizes, a mixed plan, and for
// short bodies a split at every offset) and must give the same Form and files.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "storage/fake_file_layer.h"
#include "support/form_text.h"
#include "upload/upload_errors.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

constexpr const char* kNotice =
    "<br><br><b>Error occured during file i/o. please verify file path, disk space availability, file path "
    "permissions and try again.<b><br><br> ";

const std::string kDelim = "--XyZ";  // the delimiter line of most bodies below

std::string Head(const std::string& name, const std::string& delim = kDelim) {
  return delim + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
}
std::string FileHead(const std::string& name, const std::string& fileName) {
  return kDelim + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}
std::string Close(const std::string& delim = kDelim) { return "\r\n" + delim + "--\r\n"; }
std::string OneField(const std::string& value) { return Head("a") + value + Close(); }

std::string PlanText(const std::vector<size_t>& plan) {
  if (plan.empty()) return "whole reads";
  std::string text = "reads";
  for (size_t n : plan) text += " " + std::to_string(n);
  return text;
}

std::vector<std::vector<size_t>> PlansFor(const std::string& body) {
  std::vector<std::vector<size_t>> plans = {{}, {1}, {2}, {3}, {4}, {5}, {7}, {13, 1, 65535, 2, 700}};
  if (body.size() <= 400) {
    for (size_t at = 1; at < body.size(); ++at) plans.push_back({at, 65535});
  }
  return plans;
}

struct ScanCase {
  const char* why;
  std::string body;
  std::string form;  // FormText of the expected Form
  std::map<std::string, std::string> files;
};

// Empties the directory between runs (cheaper than a new directory each run).
void Clear(const TempDir& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) std::filesystem::remove_all(entry.path());
}

// Runs the case with every plan; stops at the first plan that differs.
void ExpectSameResultForEveryPlan(const ScanCase& c) {
  TempDir dir;
  for (const auto& plan : PlansFor(c.body)) {
    Clear(dir);
    StoreRun run = Store(c.body, dir, {.readPlan = plan, .totalBytes = {}, .disconnectAfter = {}, .maxFileSize = {}});
    const std::string where = std::string(c.why) + ", " + PlanText(plan);
    bool same = !run.error && !run.upload->lastParseFailure() && FormText(run.form) == c.form &&
                dir.Files() == c.files && run.host->responseText().empty();
    EXPECT_FALSE(run.error) << where << ": " << run.error->what();
    if (run.upload->lastParseFailure()) ADD_FAILURE() << where << ": " << run.upload->lastParseFailure()->what();
    EXPECT_EQ(FormText(run.form), c.form) << where;
    EXPECT_EQ(dir.Files(), c.files) << where;
    EXPECT_EQ(run.host->responseText(), "") << where;
    run.upload->release();
    if (!same) return;
  }
}

TEST(LineScannerTest, LineEndsAndCarriageReturns) {
  const ScanCase cases[] = {
      {"a CR run before the line end stays in the value", OneField("a\r"), "a value=[\"a\\r\"]\n", {}},
      {"lone CR and lone LF are data", OneField("a\nb\rc\n\r"), "a value=[\"a\\nb\\rc\\n\\r\"]\n", {}},
      {"CR LF inside a value is one entry", OneField("l1\r\nl2\r\n"), "a value=[\"l1\\r\\nl2\\r\\n\"]\n", {}},
      {"a value of line ends only", OneField("\r\n\r\n"), "a value=[\"\\r\\n\\r\\n\"]\n", {}},
      {"a value of CRs only", OneField("\r\r\r"), "a value=[\"\\r\\r\\r\"]\n", {}},
      {"an empty value gives no entry", OneField(""), "a value=[null]\n", {}},
      {"two fields", Head("a") + "1\r\n" + Head("b") + "2" + Close(), "a value=[\"1\"]\nb value=[\"2\"]\n", {}},
      {"a file of CR, LF and CR LF bytes", FileHead("f", "x.bin") + "\r\r\n\n\r\n\r" + Close(),
       "f file=\"x.bin\" path=\"x.bin\" size=7 value=[\"x.bin\"]\n",
       {{"x.bin", "\r\r\n\n\r\n\r"}}},
      {"a file of 300 CRs", FileHead("f", "cr.bin") + std::string(300, '\r') + Close(),
       "f file=\"cr.bin\" path=\"cr.bin\" size=300 value=[\"cr.bin\"]\n",
       {{"cr.bin", std::string(300, '\r')}}},
      {"header lines ending in CR CR LF keep the CR (an unknown header)",
       kDelim + "\r\nX-Note: a\r\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv" + Close(),
       "a value=[\"v\"]\n", {}},
  };
  for (const ScanCase& c : cases) ExpectSameResultForEveryPlan(c);
}

TEST(LineScannerTest, DelimiterLikeLinesAreContent) {
  const ScanCase cases[] = {
      {"prefix, one byte more, three more, one changed, other case, one dash less",
       OneField("l\r\n--Xy\r\n--XyZa\r\n--XyZabc\r\n--XyY\r\n--xyZ\r\n-XyZ\r\nend"),
       "a value=[\"l\\r\\n--Xy\\r\\n--XyZa\\r\\n--XyZabc\\r\\n--XyY\\r\\n--xyZ\\r\\n-XyZ\\r\\nend\"]\n", {}},
      {"the delimiter after a lone LF is content", OneField("x\r\ny\n--XyZ"), "a value=[\"x\\r\\ny\\n--XyZ\"]\n", {}},
      {"the delimiter after a lone CR is content", OneField("x\r--XyZ"), "a value=[\"x\\r--XyZ\"]\n", {}},
      {"the delimiter inside a line is content", OneField("x\r\nab--XyZ"), "a value=[\"x\\r\\nab--XyZ\"]\n", {}},
      {"the delimiter followed by a lone LF and two more bytes is content", OneField("x\r\n--XyZ\nqq"),
       "a value=[\"x\\r\\n--XyZ\\nqq\"]\n", {}},
  };
  for (const ScanCase& c : cases) ExpectSameResultForEveryPlan(c);
}

// An empty part may be sent without the empty line of its content: its
// delimiter line follows the blank line at once. It ends the part there, as
// in the twin body with that empty line written.
TEST(LineScannerTest, ADelimiterRightAfterTheBlankLineEndsAnEmptyPart) {
  const std::string file = FileHead("f", "e.bin");
  const std::string typed = kDelim + "\r\nContent-Type: text/plain\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n";
  const std::string close = kDelim + "--\r\n";
  struct Case {
    const char* why;
    std::vector<std::string> parts;  // each part's head, then its content ("" for the empty part)
    size_t items;
  };
  const Case cases[] = {
      {"an empty field first", {Head("e"), "", Head("b"), "foo"}, 2},
      {"an empty file first", {file, "", Head("b"), "foo"}, 2},
      {"an empty field last, then the close delimiter", {Head("a"), "1", Head("e"), ""}, 2},
      {"an empty file last, then the close delimiter", {Head("a"), "1", file, ""}, 2},
      {"empty parts only, one with a Content-Type line after the name", {Head("e"), "", file, "", typed, ""}, 3},
      {"an empty field whose delimiter is the close delimiter", {Head("e"), ""}, 1},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string compact;
    std::string twin;
    for (size_t i = 0; i < c.parts.size(); i += 2) {
      const std::string& content = c.parts[i + 1];
      // The empty part's delimiter follows its blank line at once.
      compact += c.parts[i] + content + (content.empty() ? "" : "\r\n");
      twin += c.parts[i] + content + "\r\n";
    }
    compact += close;
    twin += close;
    Clear(dir);
    StoreRun repaired = Store(twin, dir);
    ASSERT_FALSE(repaired.error) << c.why;
    ASSERT_EQ(repaired.form.size(), c.items) << c.why;
    const ScanCase scan{c.why, compact, FormText(repaired.form), dir.Files()};
    repaired.upload->release();
    ExpectSameResultForEveryPlan(scan);
  }
}

TEST(LineScannerTest, TwoBytesMoreThanTheDelimiterEndThePartWhateverTheyAre) {
  for (const std::string two : {"--", "!!", "\r\r", "-\r", "\r-", "\n\n", "\n\r", "\r\x01"}) {
    std::string body = Head("a") + "v\r\n" + kDelim + two + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nw" +
                       Close();
    ExpectSameResultForEveryPlan({"close delimiter", body, "a value=[\"v\"]\nb value=[\"w\"]\n", {}});
  }
}

TEST(LineScannerTest, DelimiterEndingInCarriageReturn) {
  // The first line "--Xy" CR: its own CR is data, the line end follows it.
  const std::string delim = "--Xy\r";
  ExpectSameResultForEveryPlan({"a shorter line that ends where the delimiter's CR is, is content",
                                Head("a", delim) + "a\r\n--Xy\r\nZZ" + Close(delim),
                                "a value=[\"a\\r\\n--Xy\\r\\nZZ\"]\n",
                                {}});
  // The line end of the shorter line is the CR LF in front of the delimiter.
  ExpectSameResultForEveryPlan({"the delimiter right after a line that is the delimiter less its CR",
                                Head("a", delim) + "a\r\n--Xy" + Close(delim), "a value=[\"a\\r\\n--Xy\"]\n", {}});
}

TEST(LineScannerTest, LinesAtTheirLimitsAreAccepted) {
  const std::string delim1024 = "--" + std::string(1022, 'b');
  const std::string delim1023cr = "--" + std::string(1021, 'c') + "\r";
  const std::string header2048 = "X-Pad: " + std::string(2048 - 7, 'h');
  const std::string header2047cr = "X-Pad: " + std::string(2047 - 7, 'h') + "\r";
  const ScanCase cases[] = {
      {"a delimiter line of 1,024 bytes", Head("a", delim1024) + "v" + Close(delim1024), "a value=[\"v\"]\n", {}},
      {"a delimiter line of 1,023 bytes and a CR", Head("a", delim1023cr) + "v" + Close(delim1023cr),
       "a value=[\"v\"]\n", {}},
      {"a header line of 2,048 bytes",
       kDelim + "\r\n" + header2048 + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv" + Close(),
       "a value=[\"v\"]\n", {}},
      {"a header line of 2,047 bytes and a CR",
       kDelim + "\r\n" + header2047cr + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv" + Close(),
       "a value=[\"v\"]\n", {}},
      {"content lines have no limit", OneField(std::string(5000, 'x') + "\r\n" + std::string(3000, 'y')),
       "a value=[\"" + std::string(5000, 'x') + "\\r\\n" + std::string(3000, 'y') + "\"]\n", {}},
  };
  for (const ScanCase& c : cases) ExpectSameResultForEveryPlan(c);
}

TEST(LineScannerTest, BodiesItCannotSplitStopWithTheNotice) {
  struct FailCase {
    const char* why;
    std::string body;
    int32_t number;
    const char* description;
  };
  const std::string header2049 = "X-Pad: " + std::string(2049 - 7, 'h');
  const FailCase cases[] = {
      {"empty first line", "\r\n" + Head("a") + "v" + Close(), uploaderr::kNoDelimiterLine,
       uploaderr::kNoDelimiterLineText},
      {"a body of one line end", "\r\n", uploaderr::kNoDelimiterLine, uploaderr::kNoDelimiterLineText},
      {"a first line of 1,025 bytes", Head("a", "--" + std::string(1023, 'b')) + "v",
       uploaderr::kDelimiterLineTooLong, uploaderr::kDelimiterLineTooLongText},
      {"a first line of 1,024 bytes and a CR", Head("a", "--" + std::string(1022, 'b') + "\r") + "v",
       uploaderr::kDelimiterLineTooLong, uploaderr::kDelimiterLineTooLongText},
      {"a first line that never ends", std::string(4000, 'b'), uploaderr::kDelimiterLineTooLong,
       uploaderr::kDelimiterLineTooLongText},
      {"a header line of 2,049 bytes",
       kDelim + "\r\n" + header2049 + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv" + Close(),
       uploaderr::kHeaderLineTooLong, uploaderr::kHeaderLineTooLongText},
      {"a header line of 2,048 bytes and a CR",
       kDelim + "\r\nX-Pad: " + std::string(2048 - 7, 'h') + "\rZ\r\n\r\nv" + Close(), uploaderr::kHeaderLineTooLong,
       uploaderr::kHeaderLineTooLongText},
      {"a header line that never ends", kDelim + "\r\n" + std::string(3000, 'h'), uploaderr::kHeaderLineTooLong,
       uploaderr::kHeaderLineTooLongText},
  };
  for (const FailCase& c : cases) {
    TempDir dir;
    for (const std::vector<size_t>& plan : {std::vector<size_t>{}, {1}, {7}, {1000}, {2049, 1}}) {
      StoreRun run = Store(c.body, dir, {.readPlan = plan, .totalBytes = {}, .disconnectAfter = {}, .maxFileSize = {}});
      const std::string where = std::string(c.why) + ", " + PlanText(plan);
      EXPECT_FALSE(run.error) << where;
      ASSERT_TRUE(run.upload->lastParseFailure()) << where;
      EXPECT_EQ(run.upload->lastParseFailure()->number(), c.number) << where;
      EXPECT_EQ(run.upload->lastParseFailure()->source(), kComponentSource) << where;
      EXPECT_EQ(run.upload->lastParseFailure()->description(), c.description) << where;
      EXPECT_EQ(run.host->responseText(), kNotice) << where;
      EXPECT_TRUE(run.form.empty()) << where;
    }
  }
}

// Content goes to the file in runs, not line by line: a chunk costs at most
// five writes however many lines it holds.
TEST(LineScannerTest, ContentReachesTheFileInRuns) {
  std::string content;
  for (int i = 0; i < 5000; ++i) content += (i % 3 == 0) ? "--XyZ-\r\n" : "ab\r\n";
  const std::string body = FileHead("f", "lines.txt") + content + Close();
  for (const std::vector<size_t>& plan : {std::vector<size_t>{}, {4096}, {977}}) {
    TempDir dir;
    FakeFileLayer files;
    auto host = MemoryHost::FromBytes(body, {.readPlan = plan, .totalBytes = {}, .disconnectAfter = {}});
    auto upload = UploadFile::Create();
    upload->setFileLayer(files);
    upload->OnStartPage(host);
    upload->put_UploadDirectory(dir.str());
    upload->storeUploadedFiles();
    EXPECT_EQ(ReadFile(dir.path() / "lines.txt"), content) << PlanText(plan);
    EXPECT_LE(files.writeCalls, 5 * host->binaryReadCalls()) << PlanText(plan);
    if (plan.empty()) {
      EXPECT_LE(files.writeCalls, 1);
    }
    upload->release();
  }
}

}  // namespace
}  // namespace parcelmoor::testing
