#include "host/page_answer.h"

#include <gtest/gtest.h>

namespace parcelmoor {
namespace {

TEST(PageAnswerTest, AcceptsJsonOnlyWhenAskedForAtLeastAsMuchAsHtml) {
  struct Case {
    const char* accept;
    bool json;
  } cases[] = {
      {"", false},
      {"application/json", true},
      {"Application/JSON", true},
      {"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", false},  // a browser's form post
      {"*/*", false},
      {"application/*", false},
      {"text/html, application/json", true},
      {"application/json;q=0.5, text/html", false},
      {"text/html;q=0.4, application/json;q=0.5", true},
      {"application/json;q=0", false},
      {"application/json;q=abc", false},
      {"application/json; charset=utf-8", true},
      {" application/json ;q=1.0", true},
      {"application/jsonx", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AcceptsJson(c.accept), c.json) << c.accept;
}

TEST(PageAnswerTest, StatusFollowsRaisedErrors) {
  PageResult ok;
  ok.result = 1;
  PageResult failed;
  failed.error = ErrorReport{-2147221003, "qeltUpload.dll", "Directory Cannot be empty. "};
  PageResult releaseFailed;
  releaseFailed.result = 1;
  releaseFailed.releaseError = ErrorReport{15001, "File I/O Error", "x"};
  EXPECT_EQ(AnswerPageResult(ok, true).status, 200);
  EXPECT_EQ(AnswerPageResult(failed, true).status, 500);
  EXPECT_EQ(AnswerPageResult(releaseFailed, false).status, 500);
  // A client is given the component's number, never its text.
  const std::string failedJson = AnswerPageResult(failed, true).body;
  EXPECT_NE(failedJson.find("\"component\":{\"result\":null,\"uploadAllFilesOrNone\":true,\"error\":-2147221003,"),
            std::string::npos)
      << failedJson;
  EXPECT_EQ(failedJson.find("setUploadDirectory"), std::string::npos);
  EXPECT_NE(failedJson.find("\"reason\":\"the upload page failed: no upload directory is set\""), std::string::npos);
  EXPECT_EQ(AnswerPageResult(ok, true).contentType.rfind("application/json", 0), 0u);
  EXPECT_EQ(AnswerPageResult(ok, false).contentType.rfind("text/html", 0), 0u);
}

TEST(PageAnswerTest, RefusalEscapesWhatItReflects) {
  PageAnswer html = AnswerRefusal(404, "no <script>", false);
  EXPECT_EQ(html.status, 404);
  EXPECT_NE(html.body.find("404 Not Found"), std::string::npos);
  EXPECT_NE(html.body.find("no &lt;script&gt;"), std::string::npos);
  PageAnswer json = AnswerRefusal(411, "say \"length\"", true);
  EXPECT_EQ(json.body, "{\"status\":411,\"error\":\"say \\\"length\\\"\"}\n");
}

// Pages no request could make the answer outgrow: many long values, many
// items, many files with the longest names a part's header line allows.
TEST(PageAnswerTest, AnswersStayUnderOneMibAndSayWhatTheyLeftOut) {
  const std::string longName(2000, 'n');
  PageResult manyValues;
  manyValues.result = 1;
  manyValues.form.push_back({.name = "v", .values = std::vector<std::optional<std::string>>(1000, std::string(4096, '\x01')),
                             .multipleValues = true, .valuesCut = true});
  PageResult manyItems;
  manyItems.result = 1;
  for (int i = 0; i < 5000; ++i) manyItems.form.push_back({.name = longName + std::to_string(i), .values = {"x"}});
  PageResult manyFiles;
  manyFiles.result = 1;
  for (int i = 0; i < 5000; ++i) {
    manyFiles.files.push_back({.fieldName = longName, .clientPath = longName, .fileName = longName + std::to_string(i),
                               .storedPath = "/up/" + longName + std::to_string(i), .outcome = FileOutcome::kStored});
  }
  const struct {
    const char* what;
    const PageResult& page;
    const char* flag;
  } cases[] = {{"1000 values of 4 KiB", manyValues, "\"formCut\":true"},
               {"5000 items", manyItems, "\"formCut\":true"},
               {"5000 files", manyFiles, "\"filesCut\":true"}};
  for (const auto& c : cases) {
    for (bool json : {true, false}) {
      PageAnswer answer = AnswerPageResult(c.page, json);
      EXPECT_EQ(answer.status, 200) << c.what;
      EXPECT_LT(answer.body.size(), 1u << 20) << c.what << (json ? " JSON" : " HTML");
      if (json) {
        EXPECT_NE(answer.body.find(c.flag), std::string::npos) << c.what;
        EXPECT_NE(answer.body.find("\"filesStored\":" + std::to_string(c.page.files.size())), std::string::npos);
      } else {
        bool marked = answer.body.find("(more not shown)") != std::string::npos ||
                      answer.body.find("(cut)") != std::string::npos;
        EXPECT_TRUE(marked) << c.what;
      }
    }
  }
}

// The no-script result page: one list, names and values exactly as sent
// (pre-wrap keeps their spaces), a null entry empty, and the plain reason
// where the component's own texts (for scripts) would speak of Windows calls.
TEST(PageAnswerTest, ResultPageListsEachThingOnceAndPutsPlainReasonsFirst) {
  PageResult stopped;
  stopped.result = 1;
  stopped.response = "<br>Error occured during file i/o<br>";
  stopped.parseFailure = ErrorReport{-2147220997, "qeltUpload.dll", "Field too large"};
  stopped.form.push_back({.name = "a  b", .values = {std::string("x  y"), std::nullopt}, .multipleValues = true});
  stopped.form.push_back({.name = "f", .values = {"one.txt"}, .isFile = true, .fileName = "one.txt"});
  stopped.files.push_back({.fieldName = "f", .fileName = "one.txt", .bytesReceived = 3, .outcome = FileOutcome::kNotStored});
  stopped.files.push_back({.fieldName = "f", .fileName = "two  .txt", .outcome = FileOutcome::kNotStored});
  PageResult raised;
  raised.error = ErrorReport{-20, "OpenFile", "CreateFile failed. GetLastError=206"};
  const std::string page = AnswerPageResult(stopped, false).body;
  const std::string failed = AnswerPageResult(raised, false).body;
  const struct {
    const std::string& body;
    const char* text;
    size_t times;  // how often it appears
  } cases[] = {
      {page, "<table", 0},
      {page, "<ul id=\"result-list\">", 1},
      {page, "white-space: pre-wrap", 1},
      {page, "<span class=\"name\">a  b</span>", 1},
      {page, "<span class=\"value\">x  y</span><br><span class=\"value\"></span>", 1},
      {page, "null", 0},
      {page, "one.txt", 1},  // the form's file item is not listed beside the file's record
      {page, "two  .txt", 1},
      {page, "Error occured during file i/o", 0},
      {page, "id=\"reason\"", 1},
      {failed, "GetLastError", 0},
      {failed, "id=\"reason\"", 1},
      {failed, "<link rel=\"icon\" href=\"data:,\">", 1},
  };
  for (const auto& c : cases) {
    size_t found = 0;
    for (size_t at = c.body.find(c.text); at != std::string::npos; at = c.body.find(c.text, at + 1)) ++found;
    EXPECT_EQ(found, c.times) << c.text;
  }
}

}  // namespace
}  // namespace parcelmoor
