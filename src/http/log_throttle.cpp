#include "http/log_throttle.h"

#include <string>
#include <utility>

namespace parcelmoor {

void LogThrottle::Write(std::string_view what) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (any_ && now - last_ < std::chrono::seconds(1)) {
      ++left_out_;
      return;
    }
    line = std::string(what);
    if (left_out_ > 0) line += " (" + std::to_string(left_out_) + " more like it left out)";
    any_ = true;
    last_ = now;
    left_out_ = 0;
  }
  log_.WriteEvent("failure", line);
}

}  // namespace parcelmoor
