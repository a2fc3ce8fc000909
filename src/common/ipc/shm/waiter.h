#pragma once

#include <windows.h>

#include <atomic>
#include <string_view>

#include "ipc/shm/primitives.h"
#include "ipc/shm/spin.h"

namespace shm {

// Where the threads of every process on a channel sleep until the channel
// changes: a named condition, and the mutex under which each checks its
// predicate (see "Waiters" in ring.h for why both).
class Waiter {
 public:
  Waiter(std::string_view name, bool global);

  // Wakes every thread that waits. When none does, it costs the mutex's lock
  // and unlock and nothing more.
  void Broadcast();
  // Wakes the threads that already wait, and misses one on its way into a
  // wait (Broadcast catches that one too). Without a waiter it costs no
  // kernel call.
  void WakeSleeping();

  // Returns once the predicate stops holding, the waiter is told to quit, or
  // one wait of `timeout_ms` passes without a wake-up; callers look at what
  // they wait for, not at how the wait ended.
  template <typename Predicate>
  void WaitWhile(Predicate keep_waiting, DWORD timeout_ms) {
    if (!valid_) return PollWhile(keep_waiting, timeout_ms);
    MutexGuard held = lock_.Lock();
    while (held && !quit_ && keep_waiting()) {
      if (!condition_.Wait(lock_, held, timeout_ms)) return;
    }
  }

  // Ends this process's waits until Resume.
  void Quit();
  void Resume() { quit_ = false; }

 private:
  // Without its named objects a waiter cannot sleep until woken; it checks
  // again and again, backing off, for the same time instead of returning at
  // once and leaving its callers to spin.
  template <typename Predicate>
  void PollWhile(Predicate keep_waiting, DWORD timeout_ms) {
    const Stopwatch waited;
    for (Backoff backoff; !quit_ && keep_waiting(); backoff.Pause()) {
      if (timeout_ms != INFINITE && waited.Microseconds() >= timeout_ms * 1000LL) return;
    }
  }

  NamedCondition condition_;
  NamedMutex lock_;
  bool valid_ = false;
  std::atomic<bool> quit_{false};
};

}  // namespace shm
