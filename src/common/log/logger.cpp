#include "log/logger.h"

#include <filesystem>
#include <system_error>

#include "system/product_name.h"

namespace {

constexpr std::string_view kRule =
    "=================================================================";

std::filesystem::path LogFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::filesystem::path folder =
      length > 0 && length <= MAX_PATH ? std::filesystem::path(temp) : std::filesystem::path();
  return folder / product::kVendorName / product::kProductName;
}

void PrepareFolder(const std::filesystem::path& folder) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(folder, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    // The system refuses to remove a read-only file.
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(folder, error);
  }
  std::filesystem::create_directories(folder, error);
}

std::atomic<void (*)()> append_window_hook{nullptr};

base::FileHandle OpenLogFile(const std::filesystem::path& path, std::ios_base::openmode mode) {
  // Read access is there only because byte-range locks require it.
  const bool append = (mode & std::ios_base::app) != 0;
  return base::FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Several launcher runs append to one file at the same moment. Not every
// system makes an append atomic (Wine finds the end, then writes), so the
// runs take turns through a lock on a byte far beyond any real file size,
// and each finds the end and writes there within its turn. The system drops
// the lock if a run dies holding it.
void AppendLine(HANDLE file, const std::string& line) {
  OVERLAPPED turn{};
  turn.Offset = 0xFFFFFFFE;
  turn.OffsetHigh = 0x7FFFFFFF;
  const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn);
  OVERLAPPED at_end{};
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size)) {
    at_end.Offset = size.LowPart;
    at_end.OffsetHigh = static_cast<DWORD>(size.HighPart);
  } else {
    at_end.Offset = 0xFFFFFFFF;  // both halves all ones: the system's own end of file
    at_end.OffsetHigh = 0xFFFFFFFF;
  }
  if (const auto hook = append_window_hook.load()) hook();
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, &at_end);
  if (locked) UnlockFileEx(file, 0, 1, 0, &turn);
}

}  // namespace

std::string LogTimestamp(const SYSTEMTIME& t) {
  return fmt::format("[{:02}-{:02} {:02}:{:02}:{:02}.{:03}] ", t.wMonth, t.wDay, t.wHour, t.wMinute,
                     t.wSecond, t.wMilliseconds);
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

void SetAppendWindowHookForTesting(void (*hook)()) { append_window_hook = hook; }

void Logger::Start(std::string_view module_name, std::ios_base::openmode mode) {
  std::call_once(start_once_, [&] { StartWriting(module_name, mode); });
}

void Logger::StartWriting(std::string_view module_name, std::ios_base::openmode mode) {
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
