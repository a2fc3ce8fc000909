// What an IPC endpoint adds to a process's life: the median of 20 starts of
// a program that returns at once, of KestovaLauncher.exe without arguments,
// and of KestovaIpc sending one packet to a listening KestovaIpc (start to
// exit, and start to the listener printing the packet), as ratios to the
// first. Run from the build's bin folder's executables, under one Wine.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "system/unique_resource.h"

namespace {

constexpr int kStarts = 20;
constexpr DWORD kPatienceMs = 60000;

double NowMs() {
  static const double frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart / frequency;
}

std::filesystem::path BinaryDir() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

base::KernelHandle Start(const std::wstring& program, const std::wstring& arguments,
                         HANDLE output = nullptr) {
  const std::wstring executable = (BinaryDir() / program).wstring();
  std::wstring line = L"\"" + executable + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, output != nullptr, 0,
                      nullptr, nullptr, &startup, &info)) {
    return {};
  }
  const base::KernelHandle thread(info.hThread);
  return base::KernelHandle(info.hProcess);
}

// Start to exit, in ms; negative when the program did not run to its end.
double Run(const std::wstring& program, const std::wstring& arguments) {
  const double started = NowMs();
  const base::KernelHandle process = Start(program, arguments);
  if (!process || WaitForSingleObject(process.get(), kPatienceMs) != WAIT_OBJECT_0) return -1;
  return NowMs() - started;
}

double Median(std::vector<double> values) {
  std::ranges::sort(values);
  return values.empty() ? 0 : values[values.size() / 2];
}

// A KestovaIpc listener whose output lines are time-stamped as they arrive.
class Listener {
 public:
  explicit Listener(int packets) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    read_end_.reset(read_end);
    const base::FileHandle write_owner(write_end);
    process_ = Start(L"KestovaIpc.exe", L"listen HostService --count " + std::to_wstring(packets),
                     write_end);
    reader_ = std::thread([this] { Read(); });
  }
  ~Listener() {
    if (process_ && WaitForSingleObject(process_.get(), kPatienceMs) != WAIT_OBJECT_0) {
      TerminateProcess(process_.get(), 1);
    }
    reader_.join();
  }

  // When the n-th line after "ready" arrived; negative when it did not.
  double LineTime(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(kPatienceMs),
                      [&] { return ended_ || arrivals_.size() > n; });
    return arrivals_.size() > n ? arrivals_[n] : -1;
  }

 private:
  void Read() {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(read_end_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      const double now = NowMs();
      std::lock_guard lock(mutex_);
      arrivals_.insert(arrivals_.end(), std::count(buffer, buffer + read, '\n'), now);
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  base::FileHandle read_end_;
  base::KernelHandle process_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<double> arrivals_;  // line 0 is "ready"
  bool ended_ = false;
};

}  // namespace

int main() {
  std::vector<double> trivial, launcher, send_exit, send_delivered;
  {
    Listener listener(kStarts);
    if (listener.LineTime(0) < 0) {
      std::fprintf(stderr, "the listener did not start\n");
      return 1;
    }
    for (int i = 0; i < kStarts; ++i) {
      trivial.push_back(Run(L"bench_trivial.exe", L""));
      launcher.push_back(Run(L"KestovaLauncher.exe", L""));
      const double started = NowMs();
      send_exit.push_back(Run(L"KestovaIpc.exe", L"send HostService 1 {}"));
      send_delivered.push_back(listener.LineTime(i + 1) - started);
    }
  }
  const auto failed = [](const std::vector<double>& times) {
    return std::ranges::any_of(times, [](double ms) { return ms < 0; });
  };
  if (failed(trivial) || failed(launcher) || failed(send_exit) || failed(send_delivered)) {
    std::fprintf(stderr, "a run did not complete\n");
    return 1;
  }
  const double base = Median(trivial);
  std::printf("median of %d starts          ms     ratio\n", kStarts);
  const auto row = [&](const char* what, const std::vector<double>& times) {
    std::printf("%-30s%7.1f  %7.2f\n", what, Median(times), Median(times) / base);
  };
  row("trivial executable", trivial);
  row("KestovaLauncher, no arguments", launcher);
  row("send: start to exit", send_exit);
  row("send: start to packet printed", send_delivered);
  return 0;
}
