#pragma once
// Standard error written from a thread of its own. The server's log lines
// are made on the event loop that serves every connection; written there, a
// reader of standard error that stops reading (a full pipe, a stalled log
// collector) would stop the whole server. Here a line only joins a queue.
// The queue is bounded: past the bound lines are left out and counted, and a
// line says how many once writing goes on.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace parcelmoor {

class BackgroundLog {
 public:
  // Writes to `fd` (not owned), holding at most `maxPending` bytes of
  // request lines (events come on top).
  // `json`: server events are JSON objects (host/request_log.h) like the
  // request lines.
  explicit BackgroundLog(int fd, bool json = false, size_t maxPending = 256 * 1024);
  // Writes what is queued, for at most a second when the reader is stalled.
  ~BackgroundLog();
  BackgroundLog(const BackgroundLog&) = delete;
  BackgroundLog& operator=(const BackgroundLog&) = delete;

  // Queues `lines` (whole lines, each ending in a line feed). Callable from
  // any thread; never waits for the reader.
  void Write(std::string lines);
  // A server event, as FormatLogEvent makes it in this log's format; queued
  // even past the bound.
  void WriteEvent(std::string_view event, std::string_view message,
                  const std::vector<std::pair<std::string, std::string>>& fields = {});
  bool json() const { return json_; }

 private:
  void Queue(std::string lines, bool always);
  void Run();
  // Writes `text` in pieces the reader can take without blocking the
  // writer past a stop; returns false when it gave up.
  bool WriteOut(const std::string& text);

  const int fd_;
  const bool json_;
  const size_t maxPending_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string pending_;
  long leftOut_ = 0;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace parcelmoor
