#include "log/logger.h"

#include <filesystem>
#include <system_error>

namespace {

constexpr std::string_view kRule =
    "=================================================================";

std::filesystem::path LogFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::filesystem::path folder =
      length > 0 && length <= MAX_PATH ? std::filesystem::path(temp)
                                       : std::filesystem::path();
  return folder / L"Velmora" / L"Kestova";
}

void PrepareFolder(const std::filesystem::path& folder) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(folder, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    std::filesystem::remove_all(folder, error);
  }
  std::filesystem::create_directories(folder, error);
}

base::FileHandle OpenLogFile(const std::filesystem::path& path,
                             std::ios_base::openmode mode) {
  // Append-only access makes every write land at the end of the file. Read
  // access is there only because byte-range locks require it.
  const bool append = (mode & std::ios_base::app) != 0;
  return base::FileHandle(CreateFileW(
      path.c_str(), append ? FILE_APPEND_DATA | FILE_READ_DATA : GENERIC_WRITE | GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Several launcher runs append to one file at the same moment. Not every
// system makes an append atomic (Wine seeks to the end, then writes), so the
// runs take turns through a lock on a byte far beyond any real file size; the
// system drops it if a run dies holding it.
void AppendLine(HANDLE file, const std::string& line) {
  OVERLAPPED turn{};
  turn.Offset = 0xFFFFFFFE;
  turn.OffsetHigh = 0x7FFFFFFF;
  const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
  OVERLAPPED at_end{};
  at_end.Offset = 0xFFFFFFFF;  // both halves all ones: write at the end of the file
  at_end.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, &at_end);
  if (locked) UnlockFileEx(file, 0, 1, 0, &turn);
}

}  // namespace

std::string LogTimestamp(const SYSTEMTIME& t) {
  return fmt::format("[{:02}-{:02} {:02}:{:02}:{:02}.{:03}] ", t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

Logger& Logger::Instance() {
  static Logger logger;
  return logger;
}

Logger::~Logger() {
  if (writer_.joinable()) End();
}

std::string Logger::CurrentTimestamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LogTimestamp(now);
}

DWORD Logger::ProcessId() {
  static const DWORD process_id = GetCurrentProcessId();
  return process_id;
}

void Logger::Start(std::string_view module_name, std::ios_base::openmode mode) {
  const std::filesystem::path folder = LogFolder();
  PrepareFolder(folder);
  file_ = OpenLogFile(folder / (std::string(module_name) + ".log"), mode);
  running_ = true;
  try {
    writer_ = std::thread([this] { WriteQueuedLines(); });
  } catch (const std::system_error&) {
    // Nothing would drain the queue: the run goes on without a log.
    running_ = false;
    file_.reset();
    return;
  }
  Enqueue(fmt::format("\n\n{}\n{} log start", kRule, CurrentTimestamp()));
}

void Logger::StartOnce(std::string_view module_name,
                       std::ios_base::openmode mode) {
  std::call_once(start_once_, [&] { Start(module_name, mode); });
}

void Logger::Enqueue(std::string line) {
  if (!running_) return;
  {
    // Checked again under the lock: a line queued while running is one the
    // writer still sees before it stops.
    std::lock_guard lock(mutex_);
    if (!running_) return;
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void Logger::End() {
  if (file_) Enqueue(fmt::format("{} log end\n{}", CurrentTimestamp(), kRule));
  {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
  file_.reset();
}

void Logger::WriteQueuedLines() {
  std::deque<std::string> batch;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty() || !running_; });
      batch.swap(queue_);
    }
    for (std::string& line : batch) {
      // The line and its line feed go out in one write, so lines of runs
      // appending at the same moment never interleave.
      line.push_back('\n');
      if (file_) AppendLine(file_.get(), line);
    }
    batch.clear();
    std::lock_guard lock(mutex_);
    if (!running_ && queue_.empty()) return;
  }
}
