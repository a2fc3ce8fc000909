#pragma once

#include <windows.h>

#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "bus_tool.h"

namespace bus {

// One line on standard output, flushed at once so that a reader sees it as
// it happens. False when the output is closed or cannot be written.
[[nodiscard]] bool PrintLine(const std::string& line);

// One line on standard error; returns the exit code for a refusal.
template <typename... Args>
[[nodiscard]] int Refuse(fmt::format_string<Args...> format, Args&&... args) {
  std::fprintf(stderr, "KestovaIpc: %s\n",
               fmt::format(format, std::forward<Args>(args)...).c_str());
  return kRefused;
}

// What ends a listen or a monitor: enough lines, a quiet spell, Ctrl+C, or
// an output nobody reads any more. Made once per process, because the
// console's control handler can reach nothing else.
class RunEnd {
 public:
  static RunEnd& Instance();
  // Ctrl+C and Ctrl+Break end the run from now on.
  void EndOnInterrupt();

  // One line printed (or not, when the output is gone).
  void Printed(bool written);
  void End();
  // False once the run is over: a caller that saw true may print one line.
  [[nodiscard]] bool Wanted(std::optional<std::uint64_t> count);
  // Until the run is over; `idle_ms` ends it that long after the last line.
  void Wait(std::optional<std::uint64_t> count, std::optional<DWORD> idle_ms);

 private:
  using Clock = std::chrono::steady_clock;
  RunEnd() = default;
  [[nodiscard]] bool Over(std::optional<std::uint64_t> count) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t lines_ = 0;
  bool ended_ = false;
  Clock::time_point last_line_ = Clock::now();
};

}  // namespace bus
