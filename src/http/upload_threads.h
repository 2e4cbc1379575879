#pragma once
// The threads uploads run on. An upload has its thread to itself while it
// runs (the upload object is created, called and released there), but a
// thread that finished one upload waits a while for the next instead of
// ending: a burst of small uploads then pays for starting a thread once per
// thread, not once per upload. At most `maxIdle` threads wait, each for at
// most `idleLimit`; a busy server starts more threads as it always did.
// Thread-safe.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace parcelmoor::httpd {

class UploadThreads {
 public:
  UploadThreads(size_t maxIdle, std::chrono::milliseconds idleLimit);
  // Runs `task` on a waiting thread, or on a new one. Throws what starting
  // a thread throws (std::system_error) when none waits and none can start.
  void Run(std::function<void()> task);
  // Threads waiting for a task now.
  size_t idle() const;

 private:
  struct Shared;
  static void Serve(const std::shared_ptr<Shared>& shared, std::function<void()> task);
  std::shared_ptr<Shared> shared_;  // outlives the pool while its threads wait
};

}  // namespace parcelmoor::httpd
