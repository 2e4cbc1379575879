#pragma once
// Server messages about failures that a flood can repeat thousands of times
// a second (out of descriptors, memory or threads): one line on standard
// error at most once a second, telling how many were left out meanwhile.

#include <chrono>
#include <mutex>
#include <string_view>

#include "http/background_log.h"

namespace parcelmoor {

class LogThrottle {
 public:
  explicit LogThrottle(BackgroundLog& log) : log_(log) {}

  // Writes "parcelmoor serve: <what>" unless a line went out less than a
  // second ago. Callable from any thread.
  void Write(std::string_view what);

 private:
  BackgroundLog& log_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point last_{};
  bool any_ = false;
  long left_out_ = 0;
};

}  // namespace parcelmoor
