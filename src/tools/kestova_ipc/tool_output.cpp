#include "tool_output.h"

namespace bus {
namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  RunEnd::Instance().End();
  return TRUE;
}

}  // namespace

bool PrintLine(const std::string& line) {
  const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                       std::fputc('\n', stdout) != EOF;
  return std::fflush(stdout) == 0 && written;
}

RunEnd& RunEnd::Instance() {
  static RunEnd end;
  return end;
}

void RunEnd::EndOnInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void RunEnd::Printed(bool written) {
  {
    std::lock_guard lock(mutex_);
    ++lines_;
    last_line_ = Clock::now();
    if (!written) ended_ = true;
  }
  changed_.notify_all();
}

void RunEnd::End() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

bool RunEnd::Over(std::optional<std::uint64_t> count) const {
  return ended_ || (count && lines_ >= *count);
}

bool RunEnd::Wanted(std::optional<std::uint64_t> count) {
  std::lock_guard lock(mutex_);
  return !Over(count);
}

void RunEnd::Wait(std::optional<std::uint64_t> count, std::optional<DWORD> idle_ms) {
  std::unique_lock lock(mutex_);
  last_line_ = Clock::now();
  while (!Over(count)) {
    if (!idle_ms) {
      changed_.wait(lock);
      continue;
    }
    // Every line moves the end of the quiet spell on.
    const Clock::time_point quiet_end = last_line_ + std::chrono::milliseconds(*idle_ms);
    if (Clock::now() >= quiet_end) return;
    changed_.wait_until(lock, quiet_end);
  }
}

}  // namespace bus
