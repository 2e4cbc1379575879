#include "http/body_rate.h"

#include <gtest/gtest.h>

#include <vector>

namespace parcelmoor {
namespace {

using std::chrono::milliseconds;

// 1 KiB/s over 10 s windows after a 10 s grace: each row counts bytes, then
// asks at a moment (ms from the start of the body) whether it is too slow.
TEST(BodyRateGuardTest, CutsOnlyABodyThatFellBehindOverAWholeWindow) {
  struct Step {
    int atMs;
    int64_t bytes;  // counted just before the check
    bool tooSlow;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"silent through the grace period", {{9'999, 0, false}}},
      {"the first window at the rate exactly", {{20'000, 10'240, false}}},
      {"the first window one byte short", {{20'000, 10'239, true}}},
      {"checked late: the rate over all the time since", {{30'000, 20'480, false}}},
      {"checked late and short", {{30'000, 20'479, true}}},
      {"a fast start buys nothing later", {{5'000, 1 << 20, false}, {20'000, 0, true}}},
      {"each window needs its own bytes", {{20'000, 10'240, false}, {29'999, 0, false}, {30'000, 0, true}}},
  };
  const auto start = BodyRateGuard::Clock::time_point{} + std::chrono::hours(1);
  for (const Case& c : cases) {
    BodyRateGuard guard(1024, milliseconds(10'000), start);
    for (const Step& s : c.steps) {
      guard.Count(s.bytes);
      EXPECT_EQ(guard.TooSlow(start + milliseconds(s.atMs)), s.tooSlow) << c.name << " at " << s.atMs << " ms";
    }
  }
}

TEST(BodyRateGuardTest, NoMinimumNeverCutsNorBoundsAWait) {
  const auto start = BodyRateGuard::Clock::now();
  BodyRateGuard guard(0, milliseconds(10'000), start);
  EXPECT_FALSE(guard.TooSlow(start + std::chrono::hours(24)));
  EXPECT_EQ(guard.windowEnd(), BodyRateGuard::Clock::time_point::max());
}

}  // namespace
}  // namespace parcelmoor
