#pragma once

#include <windows.h>

#include <fmt/format.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <ios>
#include <mutex>
#include <source_location>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>

#include "system/unique_resource.h"

// Where a record was logged from. Only the function name reaches the file;
// it is taken plainly ("Initialize"), not as the signature that
// std::source_location gives under GCC.
struct CallSite {
  std::source_location location;
  const char* function;

  // The defaults are evaluated at the caller, which is the whole point.
  static constexpr CallSite Here(std::source_location location = std::source_location::current(),
                                 const char* function = __builtin_FUNCTION()) {
    return {location, function};
  }
};

// "[MM-DD hh:mm:ss.mmm] " for the given local time.
std::string LogTimestamp(const SYSTEMTIME& local_time);

// Appends records to %TEMP%\Velmora\Kestova\<module>.log through a writer
// thread, so a caller never waits for the disk. Every failure is silent.
class Logger {
 public:
  static Logger& Instance();

  Logger() = default;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Opens the file (std::ios::app appends, anything else truncates), starts
  // the writer and queues the start banner. Only the first call of a logger
  // does anything, whoever makes it; a logger is not started again after End.
  void Start(std::string_view module_name, std::ios_base::openmode mode);

  // Formats on the caller's thread; dropped unless the logger is running.
  template <typename... Args>
  void Log(fmt::format_string<Args...> format, const CallSite& site, DWORD thread_id,
           Args&&... args) {
    if (!running_) return;
    Enqueue(fmt::format("{}[{}.{}][{}]: {}", CurrentTimestamp(), thread_id, ProcessId(),
                        site.function, fmt::format(format, std::forward<Args>(args)...)));
  }

  // Queues one finished line (no line end).
  void Enqueue(std::string line);

  // Queues the end banner, drains and joins the writer, closes the file.
  void End();

 private:
  static std::string CurrentTimestamp();
  static DWORD ProcessId();
  void StartWriting(std::string_view module_name, std::ios_base::openmode mode);
  void WriteQueuedLines();

  base::FileHandle file_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread writer_;
  std::once_flag start_once_;
  std::deque<std::string> queue_;
};

// Called by the writer between finding the end of the file and writing a
// line there, with the runs' shared lock held; tests widen that window to show
// that the lock keeps concurrent runs from writing over each other.
void SetAppendWindowHookForTesting(void (*hook)());

// The format string together with its call site, so that a log call stays
// one short line: LogLine("[Cmd]:{}", GetCommandLineA());
template <typename... Args>
struct LogFormat {
  template <typename Text>
  requires std::convertible_to<const Text&, std::string_view>
  consteval LogFormat(const Text& text, CallSite site = CallSite::Here())
      : format(text), site(site) {}

  fmt::format_string<Args...> format;
  CallSite site;
};

template <typename... Args>
void LogLine(LogFormat<std::type_identity_t<Args>...> format, Args&&... args) {
  Logger::Instance().Log(format.format, format.site, GetCurrentThreadId(),
                         std::forward<Args>(args)...);
}
