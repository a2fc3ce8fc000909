#include "ipc/shm/spin.h"

#include <immintrin.h>

#include <chrono>
#include <thread>

namespace shm {

void Backoff::Pause() {
  if (count_ < 4) {
  } else if (count_ < 16) {
    _mm_pause();
  } else if (count_ < 32) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  ++count_;
}

void SpinLock::Lock() {
  for (Backoff backoff; word_.exchange(1) != 0;) backoff.Pause();
}

}  // namespace shm
