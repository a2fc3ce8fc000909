#pragma once

#include <windows.h>

#include <atomic>
#include <string_view>

#include "ipc/shm/primitives.h"

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

  // True when the predicate stopped holding or the waiter was told to quit;
  // false when one wait of `timeout_ms` passed without a wake-up.
  template <typename Predicate>
  bool WaitWhile(Predicate keep_waiting, DWORD timeout_ms) {
    if (!lock_.Lock()) return false;
    for (;;) {
      if (quit_ || !keep_waiting()) {
        lock_.Unlock();
        return true;
      }
      if (!condition_.Wait(lock_, timeout_ms)) {
        lock_.Unlock();
        return false;
      }
    }
  }

  // Ends this process's waits until Resume.
  void Quit();
  void Resume() { quit_ = false; }

 private:
  NamedCondition condition_;
  NamedMutex lock_;
  std::atomic<bool> quit_{false};
};

}  // namespace shm
