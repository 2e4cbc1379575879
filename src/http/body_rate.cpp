#include "http/body_rate.h"

namespace parcelmoor {

BodyRateGuard::BodyRateGuard(int64_t bytesPerSecond, std::chrono::milliseconds window, Clock::time_point start)
    : bytesPerSecond_(bytesPerSecond), window_(window) {
  if (bytesPerSecond_ <= 0 || window_.count() <= 0) {
    windowStart_ = windowEnd_ = Clock::time_point::max();
    return;
  }
  // Bytes of the grace period count for nothing: a fast start does not buy
  // a long stall later.
  windowStart_ = start + window_;
  windowEnd_ = windowStart_ + window_;
}

bool BodyRateGuard::TooSlow(Clock::time_point now) {
  if (now < windowEnd_) {
    if (now < windowStart_) windowBytes_ = 0;  // still in the grace period
    return false;
  }
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - windowStart_);
  // bytes / seconds < rate, without rounding the bytes away.
  if (windowBytes_ * 1000 < bytesPerSecond_ * elapsed.count()) return true;
  windowStart_ = now;
  windowEnd_ = now + window_;
  windowBytes_ = 0;
  return false;
}

}  // namespace parcelmoor
