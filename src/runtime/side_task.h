#pragma once
// Work a thread hands to a spare core while it goes on with its own, such
// as hashing a chunk while the next one is received and written. The spare
// threads are few (one fewer than the cores, at most four) and shared by
// the whole process; when none is idle, start() says so and the caller does
// the work itself, so nothing ever queues behind another upload's work.
//
// A side thread that has just finished spins briefly before it sleeps: work
// handed over every few tens of microseconds, as a fast body's chunks are,
// then finds it awake instead of paying a wake-up each time.

#include <atomic>
#include <cstdint>

namespace parcelmoor {

class SideTask {
 public:
  SideTask() = default;
  // Waits for work still running.
  ~SideTask() { wait(); }
  SideTask(const SideTask&) = delete;
  SideTask& operator=(const SideTask&) = delete;

  // Starts `work(argument)` on an idle side thread and returns true; returns
  // false, with nothing started, when no side thread is idle. `work` must
  // not throw. REQUIRES: nothing running (wait() first).
  bool start(void (*work)(void*), void* argument) noexcept;
  // Returns once the started work has ended; at once when none was started.
  void wait() noexcept;
  bool running() const noexcept { return slot_ != nullptr; }

  // Side threads this process may use (0 on a single core).
  static int Capacity() noexcept;

  struct Slot;  // one side thread's mailbox

 private:
  Slot* slot_ = nullptr;
};

}  // namespace parcelmoor
