// A re-upload replaces an earlier file of the same name only once its body
// has arrived whole; until then, and whenever it fails, the earlier file
// stays byte for byte and no file is left begun. Over an in-memory store:
// when to commit and when to give up is the upload's choice, whatever the store.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>

#include "storage/failing_store.h"
#include "storage/memory_store.h"
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
    auto files = std::make_shared<MemoryFiles>();
    files->put("/up/report.txt", "earlier");
    StoreSettings settings = c.settings;
    const StoreFault fault{StoreOperation::kWrite, c.failWriteAt, false, {StoreCause::kDiskFull, ENOSPC}};
    settings.store = std::make_shared<FailingStore>(std::make_shared<MemoryStore>(files), fault);
    StoreRun run = Store(body, "/up", settings);
    // A completed upload's file is under its final name when the call returns.
    EXPECT_EQ(files->committed().at("/up/report.txt"), c.after == content ? content : "earlier");
    EXPECT_EQ(!run.host->responseText().empty(), c.notice);
    run.upload->release();
    EXPECT_EQ(files->committed(), (std::map<std::string, std::string>{{"/up/report.txt", c.after}}));
    EXPECT_EQ(files->pending(), 0u);
  }
}

}  // namespace
}  // namespace parcelmoor::testing
