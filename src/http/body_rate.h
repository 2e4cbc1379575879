#pragma once
// Tells a body that arrives too slowly apart from one that is merely paced.
// After a grace period, the bytes received are counted over windows; a
// window that ends with fewer than the minimum rate times its length is too
// slow. A check made late (the server was busy, not the client) covers the
// whole time since the window began, so a slow server never cuts a client.

#include <chrono>
#include <cstdint>

namespace parcelmoor {

class BodyRateGuard {
 public:
  using Clock = std::chrono::steady_clock;

  // `bytesPerSecond` 0 turns the guard off. The grace period and each
  // window last `window`, counted from `start`.
  BodyRateGuard(int64_t bytesPerSecond, std::chrono::milliseconds window, Clock::time_point start);

  // Counts bytes received.
  void Count(int64_t bytes) { windowBytes_ += bytes; }

  // Call only when no received byte is waiting to be counted. True when the
  // window that has ended by `now` had too few bytes; otherwise a window
  // that has ended makes way for the next one.
  bool TooSlow(Clock::time_point now);

  // When the current window ends: a wait for bytes should not last beyond.
  // Clock::time_point::max() when the guard is off.
  Clock::time_point windowEnd() const { return windowEnd_; }

 private:
  int64_t bytesPerSecond_;
  std::chrono::milliseconds window_;
  Clock::time_point windowStart_;
  Clock::time_point windowEnd_;
  int64_t windowBytes_ = 0;
};

}  // namespace parcelmoor
