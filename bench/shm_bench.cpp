// Throughput and one-way latency of the shared-memory channel against a
// Windows named pipe, between the same processes, printed side by side.
//   shm_bench.exe                 runs every case and prints the tables
//   shm_bench.exe frag            only the messages that travel as fragments
//   shm_bench.exe receiver ...    one receiving process (started by the above)
//
// The channel is measured with two senders: one that waits for room (time
// limit 1000 ms), and the one the product uses (limit 0), which takes a full
// ring by force and cuts slow receivers off. "frag" rows take every chunk of
// their size first, so the messages travel as 64-byte fragments.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "chunk_pool_hog.h"
#include "cmdline/arguments.h"
#include "ipc/shm/channel.h"
#include "ipc/shm/diagnostics.h"
#include "ipc/shm/ring.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

constexpr DWORD kPatienceMs = 120000;
// How long a forcing sender repeats its end marker for receivers that were
// cut off before they count as deaf.
constexpr DWORD kEndMarkerPatienceMs = 10000;
constexpr char kData = 0;
constexpr char kEnd = 1;

// Where the tables and the benchmark's own complaints go: the standard
// output stream as it was at the start (see RunAll).
std::FILE* g_report = stdout;

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

// The four kernel calls of the primitives: mutex wait and release, semaphore
// post, signal-and-wait.
std::uint64_t KernelCalls(const shm::CallCounts& counts) {
  return counts[static_cast<int>(shm::Counted::kMutexWait)] +
         counts[static_cast<int>(shm::Counted::kMutexRelease)] +
         counts[static_cast<int>(shm::Counted::kSemaphorePost)] +
         counts[static_cast<int>(shm::Counted::kSignalAndWait)];
}

std::uint64_t Counter(const shm::CallCounts& counts, shm::Counted what) {
  return counts[static_cast<int>(what)];
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

// receiver <shm|pipe> <throughput|latency> <channel> <ready> <ack> <result>
// Counts data messages until the end marker; in latency mode acknowledges
// each one. The result file holds "<received> <kernel calls>" and then one
// delay per line.
int RunReceiver(const cmdline::Arguments& arguments) {
  if (arguments.count() < 8) return 2;
  const std::wstring transport = arguments.vector()[2];
  const bool latency = std::wstring(arguments.vector()[3]) == L"latency";
  const std::wstring channel = arguments.vector()[4];
  const auto ready = OpenNamedEvent(arguments.vector()[5]);
  const auto ack = OpenNamedEvent(arguments.vector()[6]);
  const std::wstring result = arguments.vector()[7];

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
  std::uint64_t received = 0;
  for (;;) {
    if (!inbox->Next(message) || message.empty()) return 4;
    if (message.back() == kEnd) break;
    ++received;
    if (latency) {
      double sent = 0;
      std::memcpy(&sent, message.data(), sizeof(sent));
      delays.push_back(Now() - sent);
      SetEvent(ack.get());
    }
  }
  std::ofstream out{std::filesystem::path(result)};
  out << received << " " << KernelCalls(shm::Counts()) << "\n";
  for (double delay : delays) out << delay << "\n";
  out.close();
  SetEvent(ack.get());
  return 0;
}

// ---- sending side ------------------------------------------------------------

struct Result {
  double messages_per_second = 0;
  double median_us = 0;
  double p99_us = 0;
  double sender_calls_per_message = 0;
  double receiver_calls_per_message = 0;  // per receiver
  double delivered = 0;                   // share of the messages that arrived
  int deaf_receivers = 0;                 // never saw the end marker
  std::uint64_t forced_pushes = 0;
  std::uint64_t failed_sends = 0;
};

class Receivers {
 public:
  Receivers(Transport transport, Measure measure, int receivers, const std::wstring& channel) {
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
      const std::wstring arguments =
          L"receiver " + std::wstring(transport == Transport::kShm ? L"shm " : L"pipe ") +
          (measure == Measure::kLatency ? L"latency " : L"throughput ") +
          (transport == Transport::kShm ? channel : pipe_name) + L" " + member.ready_name + L" " +
          member.ack_name + L" \"" + member.result + L"\"";
      // The transport's lines of a receiver (reconnects) are counted, not shown.
      member.process = bench::StartSelf(arguments);
      if (!member.process) {
        std::fprintf(g_report, "cannot start a receiver process: error %lu\n", GetLastError());
      }
      members_.push_back(std::move(member));
    }
    // A receiver says it is ready once it has opened its end, so the pipe's
    // ConnectNamedPipe below returns at once; one that never got there (not
    // started, or dead) must not leave us waiting in it for ever.
    for (const Member& member : members_) {
      const HANDLE waits[] = {member.ready.get(), member.process.get()};
      const bool ready =
          member.process && WaitForMultipleObjects(2, waits, FALSE, kPatienceMs) == WAIT_OBJECT_0;
      if (!ready) {
        std::fprintf(g_report, "a receiver process did not get ready\n");
        ok_ = false;
        return;
      }
      if (member.pipe && !ConnectNamedPipe(member.pipe.get(), nullptr) &&
          GetLastError() != ERROR_PIPE_CONNECTED) {
        std::fprintf(g_report, "ConnectNamedPipe failed: error %lu\n", GetLastError());
        ok_ = false;
        return;
      }
    }
  }
  ~Receivers() {
    for (const Member& member : members_) {
      if (member.process) TerminateProcess(member.process.get(), 1);
    }
  }

  bool ok() const { return ok_; }
  std::size_t size() const { return members_.size(); }

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

  // Waits for one acknowledgement of every receiver that has not yet given
  // this round's; false when one is still missing after `timeout_ms`.
  bool WaitForAcks(DWORD timeout_ms) {
    for (Member& member : members_) {
      if (member.acked) continue;
      if (WaitForSingleObject(member.ack.get(), timeout_ms) != WAIT_OBJECT_0) return false;
      member.acked = true;
    }
    for (Member& member : members_) member.acked = false;
    return true;
  }

  struct Report {
    std::vector<double> delays;
    std::vector<std::uint64_t> received;  // of the receivers that finished
    std::uint64_t kernel_calls = 0;
    int deaf = 0;
  };

  Report Finish() {
    Report report;
    for (Member& member : members_) {
      const bool ended = WaitForSingleObject(member.process.get(), 5000) == WAIT_OBJECT_0;
      std::ifstream in{std::filesystem::path(member.result)};
      std::uint64_t received = 0;
      std::uint64_t calls = 0;
      if (ended && in >> received >> calls) {
        report.received.push_back(received);
        report.kernel_calls += calls;
        for (double delay; in >> delay;) report.delays.push_back(delay);
      } else {
        ++report.deaf;
      }
      in.close();
      DeleteFileW(member.result.c_str());
    }
    return report;
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
    bool acked = false;
  };
  std::vector<Member> members_;
  bool ok_ = true;
};

std::optional<Result> RunCase(Transport transport, Measure measure, unsigned limit_ms,
                              int receivers, std::size_t size, int count) {
  const std::wstring channel = transport == Transport::kShm
                                   ? Unique(L"bench-channel")
                                   : L"\\\\.\\pipe\\" + Unique(L"bench-pipe");
  std::unique_ptr<shm::Channel> sender;
  if (transport == Transport::kShm) {
    sender = shm::Channel::Open(WideToUtf8(channel), false);
    if (!sender->connect(shm::ConnectMode::kSender)) return std::nullopt;
  }
  Receivers group(transport, measure, receivers, channel);
  if (!group.ok()) return std::nullopt;

  Result result;
  std::vector<char> message(size, kData);
  const auto send = [&] {
    if (transport == Transport::kPipe) return group.WriteToPipes(message);
    if (sender->send(message.data(), size, limit_ms)) return true;
    ++result.failed_sends;
    return false;
  };

  const shm::CallCounts before = shm::Counts();
  const double start = Now();
  for (int i = 0; i < count; ++i) {
    if (measure == Measure::kLatency) {
      const double stamp = Now();
      std::memcpy(message.data(), &stamp, sizeof(stamp));
    }
    // A forcing sender may find every receiver cut off; it goes on.
    if (!send() && (limit_ms != 0 || measure == Measure::kLatency)) return std::nullopt;
    if (measure == Measure::kLatency && !group.WaitForAcks(kPatienceMs)) return std::nullopt;
  }
  // The end marker may be lost to a receiver that is cut off: repeat it.
  message.back() = kEnd;
  const ULONGLONG end_deadline = GetTickCount64() + kEndMarkerPatienceMs;
  bool ended = false;
  while (!ended && GetTickCount64() < end_deadline) {
    send();
    ended = group.WaitForAcks(transport == Transport::kPipe || limit_ms != 0 ? kPatienceMs : 200);
  }
  const double elapsed = Now() - start;
  const shm::CallCounts after = shm::Counts();
  const Receivers::Report report = group.Finish();

  result.messages_per_second = count / elapsed;
  result.sender_calls_per_message =
      static_cast<double>(KernelCalls(after) - KernelCalls(before)) / count;
  if (!report.received.empty()) {
    result.receiver_calls_per_message =
        static_cast<double>(report.kernel_calls) / report.received.size() / count;
    result.delivered =
        static_cast<double>(std::accumulate(report.received.begin(), report.received.end(), 0ull)) /
        report.received.size() / count;
  }
  result.deaf_receivers = report.deaf;
  if (measure == Measure::kLatency && report.deaf != 0) return std::nullopt;
  result.forced_pushes =
      Counter(after, shm::Counted::kForcedPush) - Counter(before, shm::Counted::kForcedPush);
  std::vector<double> delays = report.delays;
  if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    result.median_us = delays[delays.size() / 2] * 1e6;
    result.p99_us = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)] * 1e6;
  }
  return result;
}

int RunAll(bool fragments_only) {
  // The transport prints a line for each forced push and each send without
  // a receiver; the tables count them. They go to a copy of the original
  // standard output, the lines nowhere.
  std::FILE* table = _fdopen(_dup(_fileno(stdout)), "w");
  g_report = table;
  std::freopen("NUL", "w", stdout);
  std::freopen("NUL", "w", stderr);

  struct Size {
    std::size_t bytes;
    const char* label;
    bool fragments;
    int throughput_count;
    int latency_count;
  };
  const Size sizes[] = {{64, "64 B", false, 5000, 300},
                        {1024, "1 KB", false, 5000, 300},
                        {65536, "64 KB", false, 500, 200},
                        {1024, "1 KB frag", true, 2000, 200},
                        {65536, "64KB frag", true, 100, 50},
                        // 1600 slots a message: whether receivers keep up or are cut off
                        {102400, "100KB frag", true, 50, 20}};
  std::fprintf(
      table,
      "shared-memory channel vs named pipe, throughput (ratio = channel / pipe)\n"
      "wait: sender waits for room (limit 1000 ms); force: limit 0, a full ring is taken\n"
      "by force. k/msg: kernel calls per message (mutex wait/release, semaphore post,\n"
      "signal-and-wait) of the sender and of each receiver. deliv: share of messages that\n"
      "arrived; forced: forced pushes; deaf: receivers that never saw the end.\n\n");
  std::fprintf(table, "%-4s %-10s| %9s %9s %9s | %6s %6s | %6s %6s | %6s %6s %6s %4s\n", "recv",
               "size", "wait/s", "force/s", "pipe/s", "wait", "force", "w k/s", "w k/r", "f k/s",
               "f k/r", "deliv", "forc");
  struct LatencyRow {
    int receivers;
    const char* label;
    std::optional<Result> shm;
    std::optional<Result> pipe;
  };
  std::vector<LatencyRow> latency_rows;
  for (int receivers : {1, 4}) {
    for (const Size& size : sizes) {
      if (fragments_only && !size.fragments) continue;
      std::optional<bench::ChunkPoolHog> hog;
      if (size.fragments) hog.emplace(size.bytes);
      const auto waiting = RunCase(Transport::kShm, Measure::kThroughput, 1000, receivers,
                                   size.bytes, size.throughput_count);
      const auto forcing = RunCase(Transport::kShm, Measure::kThroughput, 0, receivers, size.bytes,
                                   size.throughput_count);
      const auto pipe = RunCase(Transport::kPipe, Measure::kThroughput, 0, receivers, size.bytes,
                                size.throughput_count);
      // One message at a time, with the waiting sender: a message of more
      // fragments than the ring holds waits for its receivers.
      latency_rows.push_back({receivers, size.label,
                              RunCase(Transport::kShm, Measure::kLatency, 1000, receivers,
                                      size.bytes, size.latency_count),
                              RunCase(Transport::kPipe, Measure::kLatency, 0, receivers, size.bytes,
                                      size.latency_count)});
      if (!waiting || !forcing || !pipe) {
        std::fprintf(table, "%-4d %-10s| a run failed\n", receivers, size.label);
        std::fflush(table);
        continue;
      }
      std::fprintf(
          table,
          "%-4d %-10s| %9.0f %9.0f %9.0f | %6.2f %6.2f | %6.2f %6.2f | %6.2f %6.2f "
          "%5.1f%% %4llu%s\n",
          receivers, size.label, waiting->messages_per_second, forcing->messages_per_second,
          pipe->messages_per_second, waiting->messages_per_second / pipe->messages_per_second,
          forcing->messages_per_second / pipe->messages_per_second,
          waiting->sender_calls_per_message, waiting->receiver_calls_per_message,
          forcing->sender_calls_per_message, forcing->receiver_calls_per_message,
          forcing->delivered * 100, static_cast<unsigned long long>(forcing->forced_pushes),
          forcing->deaf_receivers == 0 ? ""
                                       : (" deaf " + std::to_string(forcing->deaf_receivers) +
                                          ", failed sends " + std::to_string(forcing->failed_sends))
                                             .c_str());
      std::fflush(table);
    }
  }
  std::fprintf(table, "\none-way latency in microseconds (one message at a time)\n\n");
  std::fprintf(table, "%-4s %-10s| %9s %9s %9s %9s %8s\n", "recv", "size", "shm p50", "pipe p50",
               "shm p99", "pipe p99", "p50 ratio");
  for (const LatencyRow& row : latency_rows) {
    if (!row.shm || !row.pipe) {
      std::fprintf(table, "%-4d %-10s| a run failed\n", row.receivers, row.label);
      continue;
    }
    std::fprintf(table, "%-4d %-10s| %9.1f %9.1f %9.1f %9.1f %8.2f\n", row.receivers, row.label,
                 row.shm->median_us, row.pipe->median_us, row.shm->p99_us, row.pipe->p99_us,
                 row.shm->median_us / row.pipe->median_us);
  }
  std::fclose(table);
  return 0;
}

}  // namespace

int main() {
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  if (arguments.count() >= 2 && std::wstring(arguments.vector()[1]) == L"receiver") {
    return RunReceiver(arguments);
  }
  return RunAll(arguments.count() >= 2 && std::wstring(arguments.vector()[1]) == L"frag");
}
