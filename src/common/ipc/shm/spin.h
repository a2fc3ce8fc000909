#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

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

// A 32-bit word in shared memory: 0 free, 1 held, taken by exchange. A
// holder keeps it for a few instructions; one that keeps it for
// kDeadHolderMs is taken for dead (see "Spin locks" in ring.h): the lock is
// then taken over, and taken_over() tells the caller to check what it guards.
class SpinLock {
 public:
  static constexpr std::int64_t kDeadHolderMs = 1000;

  explicit SpinLock(std::atomic<std::uint32_t>& word);
  ~SpinLock();
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  bool taken_over() const { return taken_over_; }

 private:
  class TakeoverTurn;
  // True when the word was free or freed within the bound.
  bool TakeWithin(std::int64_t microseconds);

  std::atomic<std::uint32_t>& word_;
  bool taken_over_ = false;
  // Held from the decision to take over until the unlock.
  std::unique_ptr<TakeoverTurn> turn_;
};

}  // namespace shm
