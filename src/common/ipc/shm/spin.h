#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace shm {

// Gives the processor to another ready thread, if there is one.
void YieldThread();

// Retry policy of every spin loop: at once, then pause, then yield, then 1 ms
// sleeps.
class Backoff {
 public:
  void Pause();
  std::uint8_t count() const { return count_; }

 private:
  std::uint8_t count_ = 0;
};

// Time since construction, from the monotonic clock.
class Stopwatch {
 public:
  Stopwatch();
  std::int64_t Microseconds() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

// A 32-bit word in shared memory: 0 free, 1 held.
class SpinLock {
 public:
  explicit SpinLock(std::atomic<std::uint32_t>& word) : word_(word) { Lock(); }
  ~SpinLock() { word_.store(0); }
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

 private:
  void Lock();
  std::atomic<std::uint32_t>& word_;
};

}  // namespace shm
