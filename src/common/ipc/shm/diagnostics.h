#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace shm {

// The transport's failure texts go to the standard streams, never to the log:
// other product processes print the same texts, and tools read them there.
// Each text is flushed at once so a redirected stream shows it in order.
// MinGW's GCC checks its C99 printf as gnu_printf; clang knows only printf.
#ifdef __clang__
[[gnu::format(printf, 2, 3)]]
#else
[[gnu::format(gnu_printf, 2, 3)]]
#endif
void Print(std::FILE* stream, const char* format, ...);

// What the benchmark counts per message: the kernel calls of the primitives,
// the yields and sleeps of the spin loops, and the channel's rare events.
// Only a build that defines KESTOVA_SHM_COUNT_CALLS counts; elsewhere Count
// is empty and Counts() all zero.
enum class Counted {
  kMutexWait,      // WaitForSingleObject on a mutex
  kMutexRelease,   // ReleaseMutex
  kSemaphorePost,  // ReleaseSemaphore
  kSignalAndWait,  // SignalObjectAndWait
  kYield,          // SwitchToThread
  kSleep,          // Sleep(1)
  kForcedPush,
  kReceiverReconnect,
  kCount
};
using CallCounts = std::array<std::uint64_t, static_cast<std::size_t>(Counted::kCount)>;

#ifdef KESTOVA_SHM_COUNT_CALLS
inline std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Counted::kCount)> g_counts{};
inline void Count(Counted what) {
  g_counts[static_cast<std::size_t>(what)].fetch_add(1, std::memory_order_relaxed);
}
inline CallCounts Counts() {
  CallCounts counts{};
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = g_counts[i].load();
  return counts;
}
#else
inline void Count(Counted) {}
inline CallCounts Counts() { return {}; }
#endif

}  // namespace shm
