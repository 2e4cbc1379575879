#include "http/background_log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "host/request_log.h"

namespace parcelmoor {
namespace {

// How long a stopping server goes on offering its last lines to a reader
// that takes none.
constexpr auto kStopPatience = std::chrono::seconds(1);

}  // namespace

BackgroundLog::BackgroundLog(int fd, bool json, size_t maxPending)
    : fd_(fd), json_(json), maxPending_(maxPending), writer_([this] { Run(); }) {}

BackgroundLog::~BackgroundLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void BackgroundLog::Write(std::string lines) { Queue(std::move(lines), false); }

void BackgroundLog::Queue(std::string lines, bool always) {
  {
    std::lock_guard lock(mutex_);
    if (!always && pending_.size() + lines.size() > maxPending_) {
      leftOut_ += std::count(lines.begin(), lines.end(), '\n');
      return;
    }
    pending_ += lines;
  }
  wake_.notify_one();
}

void BackgroundLog::WriteEvent(std::string_view event, std::string_view message,
                               const std::vector<std::pair<std::string, std::string>>& fields) {
  // Events are few (a start, a stop, a failure a second at most) and say
  // what the request lines cannot: they are never left out.
  Queue(FormatLogEvent(json_, event, message, fields), true);
}

void BackgroundLog::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty() || leftOut_ > 0; });
    if (pending_.empty() && leftOut_ == 0) return;  // stopping, nothing left
    std::string text;
    text.swap(pending_);
    if (leftOut_ > 0) {
      text += FormatLogEvent(json_, "log-lines-left-out",
                             std::to_string(leftOut_) + " log line(s) left out while standard error was not being read");
      leftOut_ = 0;
    }
    lock.unlock();
    const bool written = WriteOut(text);
    lock.lock();
    if (!written) return;
  }
}

bool BackgroundLog::WriteOut(const std::string& text) {
  std::chrono::steady_clock::time_point giveUpAt = std::chrono::steady_clock::time_point::max();
  size_t done = 0;
  while (done < text.size()) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ && giveUpAt == std::chrono::steady_clock::time_point::max()) {
        giveUpAt = std::chrono::steady_clock::now() + kStopPatience;
      }
    }
    if (std::chrono::steady_clock::now() >= giveUpAt) return false;
    // A pipe that polls writable takes PIPE_BUF bytes without blocking; the
    // piece ends at a line end where it can, so lines stay whole.
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) continue;
    size_t piece = std::min<size_t>(text.size() - done, PIPE_BUF);
    if (done + piece < text.size()) {
      size_t lineEnd = text.rfind('\n', done + piece - 1);
      if (lineEnd != std::string::npos && lineEnd >= done) piece = lineEnd + 1 - done;
    }
    ssize_t n = ::write(fd_, text.data() + done, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // standard error is gone: nothing more can be said
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace parcelmoor
