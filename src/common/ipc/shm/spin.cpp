#include "ipc/shm/spin.h"

#include <immintrin.h>

// The channel's waits were tuned and measured with the system's own yield and
// sleep; the Windows build keeps them, others use the standard ones.
#ifdef _WIN32
#include <windows.h>

#include "ipc/shm/primitives.h"
#include "system/unique_resource.h"
#else
#include <chrono>
#include <mutex>
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

// One taker at a time, in every process: two waiters that both gave the
// holder up for dead must not both go in. The turn is a kernel mutex, so a
// taker that dies in turn passes it on (abandoned) to the next.
#ifdef _WIN32
class SpinLock::TakeoverTurn {
 public:
  TakeoverTurn() {
    // Chunk blocks are shared by every session; the local name serves when
    // the global one cannot be made.
    mutex_.reset(CreateMutexW(SharedObjectSecurity(), FALSE, L"Global\\_spin_takeover_"));
    if (!mutex_) mutex_.reset(CreateMutexW(SharedObjectSecurity(), FALSE, L"_spin_takeover_"));
    // Without the mutex the takeover goes ahead unguarded, as a dead holder
    // must not stop the channel.
    held_ = HoldMutex(mutex_.get(), INFINITE);
  }
  TakeoverTurn(const TakeoverTurn&) = delete;
  TakeoverTurn& operator=(const TakeoverTurn&) = delete;

 private:
  base::KernelHandle mutex_;
  MutexGuard held_;  // after the handle: given back before it closes
};
#else
class SpinLock::TakeoverTurn {
 public:
  TakeoverTurn() : lock_(Mutex()) {}

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  std::lock_guard<std::mutex> lock_;
};
#endif

SpinLock::SpinLock(std::atomic<std::uint32_t>& word) : word_(word) {
  constexpr std::int64_t kBoundUs = kDeadHolderMs * 1000;
  if (TakeWithin(kBoundUs)) return;
  auto turn = std::make_unique<TakeoverTurn>();
  // The bound starts again in turn: a taker before us may have freed the
  // word, and a live holder taken it since.
  if (TakeWithin(kBoundUs)) return;
  taken_over_ = true;
  turn_ = std::move(turn);
}

SpinLock::~SpinLock() {
  word_.store(0);
  turn_.reset();
}

bool SpinLock::TakeWithin(std::int64_t microseconds) {
  const Stopwatch waited;
  for (Backoff backoff; word_.exchange(1) != 0; backoff.Pause()) {
    if (waited.Microseconds() >= microseconds) return false;
  }
  return true;
}

}  // namespace shm
