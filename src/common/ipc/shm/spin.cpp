#include "ipc/shm/spin.h"

#include <immintrin.h>

#include <chrono>
#include <thread>

#include "ipc/shm/diagnostics.h"

namespace shm {

void Backoff::Pause() {
  if (count_ < 4) {
  } else if (count_ < 16) {
    _mm_pause();
  } else if (count_ < 32) {
    Count(Counted::kYield);
    std::this_thread::yield();
  } else {
    Count(Counted::kSleep);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  ++count_;
}

Stopwatch::Stopwatch() : start_(std::chrono::steady_clock::now()) {}

std::int64_t Stopwatch::Microseconds() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void SpinLock::Lock() {
  for (Backoff backoff; word_.exchange(1) != 0;) backoff.Pause();
}

}  // namespace shm
