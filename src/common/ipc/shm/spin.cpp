#include "ipc/shm/spin.h"

#include <immintrin.h>

// The channel's waits were tuned and measured with the system's own yield and
// sleep; the Windows build keeps them, others use the standard ones.
#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

#include "ipc/shm/diagnostics.h"

namespace shm {

void YieldThread() {
#ifdef _WIN32
  SwitchToThread();
#else
  std::this_thread::yield();
#endif
}

void Backoff::Pause() {
  if (count_ < 4) {
  } else if (count_ < 16) {
    _mm_pause();
  } else if (count_ < 32) {
    Count(Counted::kYield);
    YieldThread();
  } else {
    Count(Counted::kSleep);
#ifdef _WIN32
    Sleep(1);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
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
