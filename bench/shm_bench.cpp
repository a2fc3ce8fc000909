// Throughput and one-way latency of the shared-memory channel against a
// Windows named pipe, between the same processes, printed side by side.
//   shm_bench.exe                 runs every case and prints the table
//   shm_bench.exe receiver ...    one receiving process (started by the above)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include "cmdline/arguments.h"
#include "ipc/shm/channel.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

constexpr DWORD kPatienceMs = 120000;
constexpr unsigned kSendLimitMs = 1000;  // waits for room instead of cutting receivers off

enum class Transport { kShm, kPipe };
enum class Measure { kThroughput, kLatency };

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart / frequency;
}

std::wstring Unique(const wchar_t* what) {
  static int counter = 0;
  return std::wstring(what) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

base::KernelHandle NewEvent(const std::wstring& name, bool manual) {
  return base::KernelHandle(CreateEventW(nullptr, manual, FALSE, name.c_str()));
}

base::KernelHandle OpenNamedEvent(const std::wstring& name) {
  return base::KernelHandle(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
}

// ---- receiving side ----------------------------------------------------------

// What a receiver needs from its transport: the next message, or nothing.
class Inbox {
 public:
  virtual ~Inbox() = default;
  virtual bool Next(std::vector<char>& message) = 0;
};

class ShmInbox : public Inbox {
 public:
  explicit ShmInbox(const std::string& name) : channel_(shm::Channel::Open(name, false)) {
    connected_ = channel_->connect(shm::ConnectMode::kReceiver);
  }
  bool connected() const { return connected_; }
  bool Next(std::vector<char>& message) override {
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    while (GetTickCount64() < deadline) {
      shm::ReceiveBuffer buffer = channel_->recv();
      if (buffer.empty()) continue;
      message.assign(buffer.data(), buffer.data() + buffer.size());
      return true;
    }
    return false;
  }

 private:
  std::unique_ptr<shm::Channel> channel_;
  bool connected_ = false;
};

class PipeInbox : public Inbox {
 public:
  explicit PipeInbox(const std::wstring& name)
      : pipe_(CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr)) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe_) SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
  }
  bool connected() const { return pipe_.valid(); }
  bool Next(std::vector<char>& message) override {
    message.resize(1 << 20);
    DWORD read = 0;
    if (!ReadFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), &read,
                  nullptr)) {
      return false;
    }
    message.resize(read);
    return true;
  }

 private:
  base::FileHandle pipe_;
};

// receiver <shm|pipe> <throughput|latency> <count> <channel> <ready> <ack> <result>
int RunReceiver(const cmdline::Arguments& arguments) {
  if (arguments.count() < 9) return 2;
  const std::wstring transport = arguments.vector()[2];
  const bool latency = std::wstring(arguments.vector()[3]) == L"latency";
  const int count = std::stoi(arguments.vector()[4]);
  const std::wstring channel = arguments.vector()[5];
  const auto ready = OpenNamedEvent(arguments.vector()[6]);
  const auto ack = OpenNamedEvent(arguments.vector()[7]);
  const std::wstring result = arguments.vector()[8];

  std::unique_ptr<Inbox> inbox;
  if (transport == L"shm") {
    auto shm_inbox = std::make_unique<ShmInbox>(WideToUtf8(channel));
    if (!shm_inbox->connected()) return 3;
    inbox = std::move(shm_inbox);
  } else {
    auto pipe_inbox = std::make_unique<PipeInbox>(channel);
    if (!pipe_inbox->connected()) return 3;
    inbox = std::move(pipe_inbox);
  }
  SetEvent(ready.get());

  std::vector<double> delays;
  std::vector<char> message;
  for (int i = 0; i < count; ++i) {
    if (!inbox->Next(message)) return 4;
    if (latency) {
      double sent = 0;
      std::memcpy(&sent, message.data(), sizeof(sent));
      delays.push_back(Now() - sent);
      SetEvent(ack.get());
    }
  }
  if (!latency) SetEvent(ack.get());
  std::ofstream out{std::filesystem::path(result)};
  for (double delay : delays) out << delay << "\n";
  return 0;
}

// ---- sending side ------------------------------------------------------------

struct Result {
  double messages_per_second = 0;
  double megabytes_per_second = 0;
  double median_us = 0;
  double p99_us = 0;
};

class Receivers {
 public:
  Receivers(Transport transport, Measure measure, int receivers, int count,
            const std::wstring& channel) {
    const std::wstring self = [] {
      wchar_t path[MAX_PATH];
      GetModuleFileNameW(nullptr, path, MAX_PATH);
      return std::wstring(path);
    }();
    for (int i = 0; i < receivers; ++i) {
      Member member;
      member.ready_name = Unique(L"bench-ready");
      member.ack_name = Unique(L"bench-ack");
      member.ready = NewEvent(member.ready_name, true);
      member.ack = NewEvent(member.ack_name, false);
      wchar_t temp[MAX_PATH];
      GetTempPathW(MAX_PATH, temp);
      member.result = std::wstring(temp) + Unique(L"bench-result") + L".txt";
      const std::wstring pipe_name = channel + L"-" + std::to_wstring(i);
      if (transport == Transport::kPipe) {
        member.pipe.reset(CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 1 << 20, 1 << 20, 0,
                                           nullptr));
      }
      std::wstring line = L"\"" + self + L"\" receiver " +
                          (transport == Transport::kShm ? L"shm " : L"pipe ") +
                          (measure == Measure::kLatency ? L"latency " : L"throughput ") +
                          std::to_wstring(count) + L" " +
                          (transport == Transport::kShm ? channel : pipe_name) + L" " +
                          member.ready_name + L" " + member.ack_name + L" \"" + member.result + L"\"";
      STARTUPINFOW startup{};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info{};
      if (CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &info)) {
        member.process.reset(info.hProcess);
        base::KernelHandle thread(info.hThread);
      }
      if (member.pipe) ConnectNamedPipe(member.pipe.get(), nullptr);
      members_.push_back(std::move(member));
    }
    for (const Member& member : members_) {
      const HANDLE waits[] = {member.ready.get(), member.process.get()};
      ok_ = ok_ && member.process &&
            WaitForMultipleObjects(2, waits, FALSE, kPatienceMs) == WAIT_OBJECT_0;
    }
  }

  bool ok() const { return ok_; }

  bool WriteToPipes(const std::vector<char>& message) {
    for (const Member& member : members_) {
      DWORD written = 0;
      if (!WriteFile(member.pipe.get(), message.data(), static_cast<DWORD>(message.size()),
                     &written, nullptr)) {
        return false;
      }
    }
    return true;
  }

  bool WaitForAcks() {
    for (const Member& member : members_) {
      if (WaitForSingleObject(member.ack.get(), kPatienceMs) != WAIT_OBJECT_0) return false;
    }
    return true;
  }

  std::vector<double> FinishAndCollectDelays() {
    std::vector<double> delays;
    for (Member& member : members_) {
      WaitForSingleObject(member.process.get(), kPatienceMs);
      std::ifstream in{std::filesystem::path(member.result)};
      for (double delay; in >> delay;) delays.push_back(delay);
      in.close();
      DeleteFileW(member.result.c_str());
    }
    return delays;
  }

 private:
  struct Member {
    std::wstring ready_name;
    std::wstring ack_name;
    base::KernelHandle ready;
    base::KernelHandle ack;
    base::KernelHandle process;
    base::FileHandle pipe;
    std::wstring result;
  };
  std::vector<Member> members_;
  bool ok_ = true;
};

std::optional<Result> RunCase(Transport transport, Measure measure, int receivers,
                              std::size_t size, int count) {
  const std::wstring channel = transport == Transport::kShm
                                   ? Unique(L"bench-channel")
                                   : L"\\\\.\\pipe\\" + Unique(L"bench-pipe");
  std::unique_ptr<shm::Channel> sender;
  if (transport == Transport::kShm) {
    sender = shm::Channel::Open(WideToUtf8(channel), false);
    if (!sender->connect(shm::ConnectMode::kSender)) return std::nullopt;
  }
  Receivers group(transport, measure, receivers, count, channel);
  if (!group.ok()) return std::nullopt;

  std::vector<char> message(size, 'k');
  const auto send = [&] {
    return transport == Transport::kShm ? sender->send(message.data(), size, kSendLimitMs)
                                        : group.WriteToPipes(message);
  };

  Result result;
  const double start = Now();
  for (int i = 0; i < count; ++i) {
    if (measure == Measure::kLatency) {
      const double stamp = Now();
      std::memcpy(message.data(), &stamp, sizeof(stamp));
    }
    if (!send()) return std::nullopt;
    if (measure == Measure::kLatency && !group.WaitForAcks()) return std::nullopt;
  }
  if (measure == Measure::kThroughput && !group.WaitForAcks()) return std::nullopt;
  const double elapsed = Now() - start;
  std::vector<double> delays = group.FinishAndCollectDelays();

  if (measure == Measure::kThroughput) {
    result.messages_per_second = count / elapsed;
    result.megabytes_per_second = count * static_cast<double>(size) / elapsed / 1e6;
  } else if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    result.median_us = delays[delays.size() / 2] * 1e6;
    result.p99_us = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)] * 1e6;
  }
  return result;
}

int RunAll() {
  struct Size {
    std::size_t bytes;
    const char* label;
    int throughput_count;
    int latency_count;
  };
  const Size sizes[] = {{64, "64 B", 5000, 300}, {1024, "1 KB", 5000, 300}, {65536, "64 KB", 500, 200}};
  std::printf("shared-memory channel vs named pipe (ratio = channel / pipe; above 1 the channel is ahead\n"
              "in throughput, below 1 it is ahead in latency)\n\n");
  std::printf("%-9s %-6s | %12s %12s %8s | %10s %10s %8s | %10s %10s %10s %10s %8s\n", "receivers",
              "size", "shm msg/s", "pipe msg/s", "ratio", "shm MB/s", "pipe MB/s", "ratio",
              "shm p50us", "pipe p50us", "shm p99us", "pipe p99us", "p50 ratio");
  for (int receivers : {1, 4}) {
    for (const Size& size : sizes) {
      const auto shm_rate = RunCase(Transport::kShm, Measure::kThroughput, receivers, size.bytes, size.throughput_count);
      const auto pipe_rate = RunCase(Transport::kPipe, Measure::kThroughput, receivers, size.bytes, size.throughput_count);
      const auto shm_delay = RunCase(Transport::kShm, Measure::kLatency, receivers, size.bytes, size.latency_count);
      const auto pipe_delay = RunCase(Transport::kPipe, Measure::kLatency, receivers, size.bytes, size.latency_count);
      if (!shm_rate || !pipe_rate || !shm_delay || !pipe_delay) {
        std::printf("%-9d %-6s | a run failed\n", receivers, size.label);
        continue;
      }
      std::printf("%-9d %-6s | %12.0f %12.0f %8.2f | %10.2f %10.2f %8.2f | %10.1f %10.1f %10.1f %10.1f %8.2f\n",
                  receivers, size.label, shm_rate->messages_per_second, pipe_rate->messages_per_second,
                  shm_rate->messages_per_second / pipe_rate->messages_per_second,
                  shm_rate->megabytes_per_second, pipe_rate->megabytes_per_second,
                  shm_rate->megabytes_per_second / pipe_rate->megabytes_per_second,
                  shm_delay->median_us, pipe_delay->median_us, shm_delay->p99_us, pipe_delay->p99_us,
                  shm_delay->median_us / pipe_delay->median_us);
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace

int main() {
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  if (arguments.count() >= 2 && std::wstring(arguments.vector()[1]) == L"receiver") {
    return RunReceiver(arguments);
  }
  return RunAll();
}
