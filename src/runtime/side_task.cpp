// Spare threads, each with a one-job mailbox that a caller claims by a
// compare-and-swap, so handing over work takes no lock.
#include "runtime/side_task.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace parcelmoor {
namespace {

constexpr int kMaxSideThreads = 4;
// About 50 microseconds of polling: longer than the gap between two chunks
// of a fast body, short enough that an idle side thread soon sleeps.
constexpr int kSpinRounds = 2000;
constexpr int kYieldEvery = 8;

enum : uint32_t {
  kIdle,     // free to claim
  kClaimed,  // a caller is filling in the job
  kPosted,   // the job is ready for the side thread
  kDone,     // the job has ended; the caller has not collected it yet
};

void Relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

// Polls `state` for a while, then sleeps on it, until `ready` says so.
template <typename Ready>
uint32_t AwaitState(std::atomic<uint32_t>& state, Ready ready) noexcept {
  for (int round = 0;; ++round) {
    const uint32_t seen = state.load(std::memory_order_acquire);
    if (ready(seen)) return seen;
    if (round < kSpinRounds) {
      // Now and then the core goes to any other thread that wants it: on a
      // machine busy with other uploads, polling must not take their time.
      if (round % kYieldEvery == kYieldEvery - 1) {
        std::this_thread::yield();
      } else {
        Relax();
      }
    } else {
      state.wait(seen, std::memory_order_acquire);
    }
  }
}

}  // namespace

struct SideTask::Slot {
  std::atomic<uint32_t> state{kIdle};
  void (*work)(void*) = nullptr;
  void* argument = nullptr;

  [[noreturn]] void serve() noexcept {
    for (;;) {
      AwaitState(state, [](uint32_t s) { return s == kPosted; });
      work(argument);
      state.store(kDone, std::memory_order_release);
      state.notify_all();
    }
  }
};

namespace {

struct SidePool {
  std::array<SideTask::Slot, kMaxSideThreads> slots;
  int count = 0;

  SidePool() {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    count = std::clamp(cores - 1, 0, kMaxSideThreads);
    for (int i = 0; i < count; ++i) {
      try {
        std::thread([slot = &slots[i]] { slot->serve(); }).detach();
      } catch (...) {
        count = i;  // no thread, no slot: fewer side threads, not none
        break;
      }
    }
  }
};

SidePool* gPool = nullptr;

// A forked child has none of its parent's threads: work handed to a side
// thread there would never end, so the child does all of its own.
void ForgetSideThreads() { gPool->count = 0; }

// Never destroyed: detached side threads may be asleep on a slot at exit.
SidePool& Pool() {
  static SidePool* pool = [] {
    gPool = new SidePool;
    ::pthread_atfork(nullptr, nullptr, ForgetSideThreads);
    return gPool;
  }();
  return *pool;
}

}  // namespace

int SideTask::Capacity() noexcept { return Pool().count; }

bool SideTask::start(void (*work)(void*), void* argument) noexcept {
  SidePool& pool = Pool();
  for (int i = 0; i < pool.count; ++i) {
    Slot& slot = pool.slots[i];
    uint32_t expected = kIdle;
    if (!slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire)) continue;
    slot.work = work;
    slot.argument = argument;
    slot.state.store(kPosted, std::memory_order_release);
    slot.state.notify_all();
    slot_ = &slot;
    return true;
  }
  return false;
}

void SideTask::wait() noexcept {
  if (!slot_) return;
  AwaitState(slot_->state, [](uint32_t s) { return s == kDone; });
  slot_->state.store(kIdle, std::memory_order_release);
  slot_ = nullptr;
}

}  // namespace parcelmoor
