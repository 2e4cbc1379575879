// A re-upload replaces an earlier file of the same name only once its body
// has arrived whole; until then, and whenever it fails, the earlier file
// stays byte for byte and no temporary is left behind.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "storage/fake_file_layer.h"
#include "support/upload_harness.h"

namespace parcelmoor::testing {
namespace {

TEST(CommitTest, AnEarlierFileSurvivesEveryReUploadThatFailsAndIsReplacedByOneThatArrives) {
  const std::string content(5000, 'n');
  const std::string body = Body({Field("a", "1"), File("f", "report.txt", content), Field("b", "2")});
  const int64_t size = static_cast<int64_t>(body.size());
  struct Case {
    const char* why;
    StoreSettings settings;
    int failWriteAt;
    std::string after;  // report.txt once released
    bool notice;
  };
  const Case cases[] = {
      {"aborted: less arrived than announced", {.totalBytes = size + 100}, 0, "earlier", false},
      {"the client left mid-body", {.readPlan = {1000}, .disconnectAfter = 2500}, 0, "earlier", false},
      {"over the limit with DeleteMaxFile", {.maxFileSize = 100, .deleteMaxFile = true}, 0, "earlier", false},
      {"a write that fails in the last read", {}, 1, "earlier", true},
      {"arrived whole", {}, 0, content, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    TempDir dir;
    WriteFile(dir.path() / "report.txt", "earlier");
    FakeFileLayer files;
    files.failWriteAt = c.failWriteAt;
    StoreSettings settings = c.settings;
    settings.fileLayer = &files;
    StoreRun run = Store(body, dir, settings);
    // A completed upload's file is under its final name when the call returns.
    EXPECT_EQ(ReadFile(dir.path() / "report.txt"), c.after == content ? content : "earlier");
    EXPECT_EQ(!run.host->responseText().empty(), c.notice);
    run.upload->release();
    EXPECT_EQ(dir.Files(), (std::map<std::string, std::string>{{"report.txt", c.after}}));
    EXPECT_TRUE(files.openHandles().empty());
  }
}

}  // namespace
}  // namespace parcelmoor::testing
