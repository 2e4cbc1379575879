#include "http/upload_threads.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace parcelmoor::httpd {

struct UploadThreads::Shared {
  size_t maxIdle;
  std::chrono::milliseconds idleLimit;
  std::mutex mutex;
  std::condition_variable more;
  std::deque<std::function<void()>> tasks;  // handed over, not yet taken
  size_t idle = 0;                          // threads waiting for a task
};

UploadThreads::UploadThreads(size_t maxIdle, std::chrono::milliseconds idleLimit)
    : shared_(std::make_shared<Shared>()) {
  shared_->maxIdle = maxIdle;
  shared_->idleLimit = idleLimit;
}

void UploadThreads::Run(std::function<void()> task) {
  {
    std::lock_guard lock(shared_->mutex);
    // Every task handed over has a waiting thread of its own to take it.
    if (shared_->idle > shared_->tasks.size()) {
      shared_->tasks.push_back(std::move(task));
      shared_->more.notify_one();
      return;
    }
  }
  std::thread([shared = shared_, task = std::move(task)]() mutable { Serve(shared, std::move(task)); }).detach();
}

size_t UploadThreads::idle() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->idle;
}

// Runs `task`, then the tasks handed over while it waits, until none comes
// within the idle limit or enough threads wait already.
void UploadThreads::Serve(const std::shared_ptr<Shared>& shared, std::function<void()> task) {
  for (;;) {
    task();  // an upload's task lets nothing escape
    task = nullptr;  // what it holds (its connection) goes now, not when the next comes
    std::unique_lock lock(shared->mutex);
    if (shared->idle >= shared->maxIdle) return;
    ++shared->idle;
    const bool handed = shared->more.wait_for(lock, shared->idleLimit, [&] { return !shared->tasks.empty(); });
    --shared->idle;
    if (!handed) return;
    task = std::move(shared->tasks.front());
    shared->tasks.pop_front();
  }
}

}  // namespace parcelmoor::httpd
