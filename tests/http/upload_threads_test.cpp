// Reused upload threads: a waiting thread takes the next upload, none waits
// past its bounds, and a finished upload's captures go at once (a kept one
// would hold the connection, and the event loop's work guard, forever).

#include "http/upload_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace parcelmoor::httpd {
namespace {

using namespace std::chrono_literals;

thread_local int tTasksRun = 0;

// Runs one task on `threads`; returns how many tasks its thread had run, it
// included.
int RunOne(UploadThreads& threads, const std::shared_ptr<int>& held = nullptr) {
  std::promise<int> ran;
  threads.Run([&ran, held] { ran.set_value(++tTasksRun); });
  return ran.get_future().get();
}

// Waits (boundedly) until `held` is the only owner left.
bool Released(const std::shared_ptr<int>& held) {
  for (int i = 0; i < 500 && held.use_count() > 1; ++i) std::this_thread::sleep_for(10ms);
  return held.use_count() == 1;
}

TEST(UploadThreads, AThreadTakesTheNextUploadOnlyWithinItsBounds) {
  struct Row {
    const char* why;
    size_t maxIdle;
    std::chrono::milliseconds idleLimit;
    int second;  // tasks the second task's thread had run, it included
  };
  const Row rows[] = {
      {"a waiting thread takes the next", 4, 10s, 2},
      {"no thread may wait", 0, 10s, 1},
      {"the wait has ended", 4, 0ms, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    UploadThreads threads(row.maxIdle, row.idleLimit);
    auto held = std::make_shared<int>(0);
    EXPECT_EQ(RunOne(threads, held), 1);
    EXPECT_TRUE(Released(held)) << "the finished task's captures are kept";
    // Until the first thread waits, or has given up waiting.
    for (int i = 0; i < 500 && threads.idle() == 0 && row.second == 2; ++i) std::this_thread::sleep_for(10ms);
    if (row.second == 1) std::this_thread::sleep_for(50ms);
    EXPECT_LE(threads.idle(), row.maxIdle);
    EXPECT_EQ(RunOne(threads), row.second);
  }
}

}  // namespace
}  // namespace parcelmoor::httpd
