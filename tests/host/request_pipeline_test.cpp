// The request pipeline with a scripted transport and a fake application:
// what the client is answered, what stays on disk, and that the body is over
// (and its transport told so) before the application is asked.

#include "host/request_pipeline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/memory_host.h"
#include "support/upload_harness.h"

namespace parcelmoor {
namespace {

using testing::Body;
using testing::Field;
using testing::File;
using testing::TempDir;

// A body served from memory; every step the pipeline takes is logged.
class ScriptedTransport final : public UploadTransport {
 public:
  ScriptedTransport(std::string body, std::vector<std::string>& steps) : body_(std::move(body)), steps_(steps) {}

  std::shared_ptr<ScriptingContext> OpenBody(int64_t length) override {
    steps_.push_back("open");
    host_ = MemoryHost::FromBytes(body_, {.totalBytes = length});
    return host_;
  }
  void BodyEnded() override { steps_.push_back("body-ended"); }
  BodyOutcome TakeBodyOutcome() override { return {host_->bytesDelivered(), "", host_->responseText()}; }
  HandoffRequest DescribeClient() override {
    return {.originalTarget = "/?album=7", .cookie = "session=1", .forwardedFor = "127.0.0.9"};
  }

 private:
  std::string body_;
  std::vector<std::string>& steps_;
  std::shared_ptr<MemoryHost> host_;
};

struct Case {
  const char* why;
  std::string body;
  HandoffAnswer app;  // what the fake application answers
  bool appThrows = false;
  int status;
  bool fileKept;
  const char* note;
  bool appAsked = true;
};

const std::string kOneFile = Body({Field("note", "hi"), File("f", "a.txt", "abc")});
// A file over the 4-byte limit is deleted: the host fails the upload (413)
// itself, and the file kept beside it is withdrawn.
const std::string kOverLimit = Body({File("f", "a.txt", "abc"), File("g", "big.bin", "0123456789")});

HandoffAnswer Reached(int status) {
  return {.reached = true, .status = status, .headers = {{"content-type", "application/json"}, {"set-cookie", "k=v"}},
          .body = "{\"app\":true}"};
}

TEST(RequestPipelineTest, HandOffDecidesWhatIsKept) {
  const Case cases[] = {
      {"application accepts", kOneFile, Reached(201), false, 201, true, ""},
      {"application refuses", kOneFile, Reached(403), false, 403, false, "app-refused"},
      {"application down", kOneFile, {.reached = false, .failure = "refused"}, false, 502, false, "app-unreachable"},
      {"application too slow", kOneFile, {.reached = false, .timedOut = true}, false, 504, false, "app-timeout"},
      {"application call throws", kOneFile, {}, true, 502, false, "app-unreachable"},
      {"upload the host fails", kOverLimit, Reached(200), false, 413, false, "", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    UploadSettings settings{.uploadDirectory = dir.str(), .maxFileBytes = 4, .deleteOverLimit = true};
    std::vector<std::string> steps;
    HandoffRequest told;
    ApplicationCall app = [&](const HandoffRequest& r) {
      steps.push_back("app");
      told = r;
      if (c.appThrows) throw std::runtime_error("no memory");
      return c.app;
    };
    const std::string length = std::to_string(c.body.size());
    RequestVerdict verdict = JudgeRequest(
        {"POST", length, "application/json", std::string("multipart/form-data; boundary=") + testing::kBoundary},
        settings);
    ASSERT_FALSE(verdict.answer) << c.why;
    ScriptedTransport transport(c.body, steps);
    UploadAnswer got = RunUploadRequest(verdict, transport, UploadPipeline{settings, app});

    EXPECT_EQ(got.answer.status, c.status) << c.why;
    EXPECT_EQ(got.note, c.note) << c.why;
    EXPECT_EQ(std::filesystem::exists(dir.path() / "a.txt"), c.fileKept) << c.why;
    std::vector<std::string> expected = {"open", "body-ended"};
    if (c.appAsked) expected.push_back("app");
    EXPECT_EQ(steps, expected) << c.why;
    if (c.appAsked) {
      EXPECT_NE(told.reportJson.find("a.txt"), std::string::npos) << c.why;
      EXPECT_EQ(told.originalTarget, "/?album=7") << c.why;
      EXPECT_EQ(told.cookie, "session=1") << c.why;
    }
    EXPECT_EQ(got.log.bodyBytes, static_cast<int64_t>(c.body.size())) << c.why;
  }
}

// The application's answer reaches the client as it gave it.
TEST(RequestPipelineTest, ApplicationAnswerIsPassedOn) {
  TempDir dir;
  UploadSettings settings{.uploadDirectory = dir.str()};
  std::vector<std::string> steps;
  ScriptedTransport transport(kOneFile, steps);
  RequestVerdict verdict = JudgeRequest(
      {"POST", std::to_string(kOneFile.size()), "", std::string("multipart/form-data; boundary=") + testing::kBoundary},
      settings);
  UploadAnswer got = RunUploadRequest(verdict, transport,
                                      UploadPipeline{settings, [](const HandoffRequest&) { return Reached(200); }});
  EXPECT_EQ(got.answer.contentType, "application/json");
  EXPECT_EQ(got.answer.body, "{\"app\":true}");
  ASSERT_EQ(got.answer.headers.size(), 1u);
  EXPECT_EQ(got.answer.headers[0].first, "set-cookie");
}

// Without a hand-off the host answers, and the files stay.
TEST(RequestPipelineTest, WithoutHandOffTheHostAnswers) {
  TempDir dir;
  UploadSettings settings{.uploadDirectory = dir.str(), .maxFileBytes = 4, .deleteOverLimit = true};
  std::vector<std::string> steps;
  ScriptedTransport transport(kOverLimit, steps);
  RequestVerdict verdict = JudgeRequest({"POST", std::to_string(kOverLimit.size()), "application/json",
                                         std::string("multipart/form-data; boundary=") + testing::kBoundary},
                                        settings);
  UploadAnswer got = RunUploadRequest(verdict, transport, UploadPipeline{settings});
  EXPECT_EQ(got.answer.status, 413);
  EXPECT_EQ(got.log.outcome, "file-too-large");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "a.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "big.bin"));
  EXPECT_EQ(got.log.filesStored, 1);
  EXPECT_EQ(got.log.filesCarried, 2);
}

}  // namespace
}  // namespace parcelmoor
