// Sender and receiver processes on one channel, some of them killed while
// they work, and every byte of every message checked on arrival.
//   shm_fault_run.exe            runs every case and prints the table
//   shm_fault_run.exe send NAME TAG COUNT LIMIT_MS SEED GO REPORT [long]
//       with "long", every message is longer than a ring lap and travels in
//       fragments (its chunk pool held), one every 30 ms, so that it finds
//       the receivers asleep
//   shm_fault_run.exe recv NAME READY STOP REPORT [slow]
//       a slow receiver naps 20 ms every 16 messages, so forcing senders cut
//       it off now and then
// A sender reports each sequence number whose send succeeded; a receiver
// reports what it got. A receiver that lived to the end should have every
// message that was sent successfully after it connected; what it lacks is
// "lost" (a forcing sender cuts slow receivers off, which costs messages),
// while "corrupt" (bytes not as sent), "duplicate" and "reordered" (against
// one sender's order) must stay 0.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cmdline/arguments.h"
#include "child_process.h"
#include "chunk_pool_hog.h"
#include "ipc/shm/channel.h"
#include "ipc/shm/chunk_registry.h"
#include "shm_payload.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

constexpr std::size_t kLargest = 100 * 1024;

// Mostly one-slot messages, some in chunks, some up to 100 KB (many laps of
// the ring as fragments when their chunk pool is taken).
std::size_t NextSize(std::mt19937& random) {
  const unsigned kind = random() % 20;
  if (kind < 12) return 8 + random() % 57;
  if (kind < 17) return 65 + random() % 4032;
  return 4097 + random() % (kLargest - 4096);
}

// Longer than the ring's 256 fragments of 64 bytes.
constexpr std::size_t kLongerThanLap = 20000;
// Long enough for an idle receiver to stop spinning and sleep.
constexpr DWORD kLongMessageGapMs = 30;

base::KernelHandle OpenNamedEvent(const wchar_t* name) {
  return base::KernelHandle(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
}

int RunSender(const wchar_t* const* argv, int count_of_arguments) {
  const auto channel = shm::Channel::Open(WideToUtf8(argv[2]), true);
  if (!channel->connect(shm::ConnectMode::kSender)) return 3;
  const auto tag = static_cast<std::uint32_t>(std::stoul(argv[3]));
  const int count = std::stoi(argv[4]);
  const auto limit_ms = static_cast<unsigned>(std::stoul(argv[5]));
  std::mt19937 random(std::stoul(argv[6]));
  const auto go = OpenNamedEvent(argv[7]);
  std::ofstream report{std::filesystem::path(argv[8])};
  const bool long_messages = count_of_arguments >= 10 && std::wstring(argv[9]) == L"long";
  std::optional<bench::ChunkPoolHog> hog;
  if (long_messages && !hog.emplace(kLongerThanLap).holds_all()) return 5;
  if (!go || WaitForSingleObject(go.get(), INFINITE) != WAIT_OBJECT_0) return 4;
  for (int sequence = 0; sequence < count; ++sequence) {
    if (long_messages) Sleep(kLongMessageGapMs);
    const auto payload =
        shm_test::MakePayload(tag, sequence, long_messages ? kLongerThanLap : NextSize(random));
    // Flushed at once: the process may be killed before the next one.
    if (channel->send(payload.data(), payload.size(), limit_ms)) report << sequence << std::endl;
  }
  // The report says what was sent; a chunk not read in time is the run's to find.
  static_cast<void>(shm::WaitForSentChunksReleased(2000));
  return 0;
}

int RunReceiver(const wchar_t* const* argv, int count) {
  const auto channel = shm::Channel::Open(WideToUtf8(argv[2]), true);
  if (!channel->connect(shm::ConnectMode::kReceiver)) return 3;
  const auto ready = OpenNamedEvent(argv[3]);
  const auto stop = OpenNamedEvent(argv[4]);
  const bool slow = count >= 7 && std::wstring(argv[6]) == L"slow";
  SetEvent(ready.get());
  std::uint64_t corrupt = 0, duplicate = 0, reordered = 0;
  std::uint64_t received = 0;
  std::map<std::uint32_t, std::uint32_t> last;
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (;;) {
    const shm::ReceiveBuffer buffer = channel->recv();
    if (buffer.empty()) {
      if (WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0) break;
      continue;
    }
    if (slow && ++received % 16 == 0) Sleep(20);
    const shm_test::Received got = shm_test::Describe(buffer.data(), buffer.size());
    if (got.size < 8 || got != shm_test::Expected(got.tag, got.sequence, got.size)) {
      ++corrupt;
      continue;
    }
    if (!seen.insert({got.tag, got.sequence}).second) {
      ++duplicate;
      continue;
    }
    if (const auto previous = last.find(got.tag);
        previous != last.end() && previous->second > got.sequence) {
      ++reordered;
    }
    last[got.tag] = got.sequence;
  }
  std::ofstream report{std::filesystem::path(argv[5])};
  report << corrupt << " " << duplicate << " " << reordered << "\n";
  for (const auto& [tag, sequence] : seen) report << tag << " " << sequence << "\n";
  return 0;
}

// ---- the cases ------------------------------------------------------------------

struct Case {
  int senders;
  int receivers;
  unsigned limit_ms;
  bool kills;  // one sender and one receiver, a moment after the start
  bool slow;   // the last receiver naps now and then
  bool long_messages = false;
};

struct Tally {
  std::uint64_t sent = 0, delivered = 0, lost = 0, corrupt = 0, duplicate = 0, reordered = 0;
  std::uint64_t reconnects = 0;
  std::uint64_t forced_pushes = 0;
  int hung = 0;
};

std::wstring Unique(const wchar_t* what) {
  static int counter = 0;
  return std::wstring(what) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

base::KernelHandle NewEvent(const std::wstring& name) {
  return base::KernelHandle(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits for a process at most `ms`; a process still there is killed and
// counted as hung.
bool Ended(const base::KernelHandle& process, DWORD ms) {
  if (WaitForSingleObject(process.get(), ms) == WAIT_OBJECT_0) return true;
  TerminateProcess(process.get(), 1);
  return false;
}

Tally RunCase(const Case& c, const std::filesystem::path& folder, int messages, unsigned seed) {
  const std::wstring name = Unique(L"kestova-fault-run");
  const auto go = NewEvent(name + L"-go");
  const auto stop = NewEvent(name + L"-stop");
  Tally tally;
  std::vector<base::KernelHandle> receivers;
  std::vector<std::filesystem::path> receiver_reports;
  for (int r = 0; r < c.receivers; ++r) {
    const auto ready = NewEvent(name + L"-ready" + std::to_wstring(r));
    receiver_reports.push_back(folder / (name + L"-recv" + std::to_wstring(r)));
    receivers.push_back(bench::StartSelf(L"recv " + name + L" " + name + L"-ready" +
                                             std::to_wstring(r) + L" " + name + L"-stop \"" +
                                             receiver_reports.back().wstring() + L"\"" +
                                             (c.slow && r + 1 == c.receivers ? L" slow" : L""),
                                         receiver_reports.back().wstring() + L".err"));
    const HANDLE waits[] = {ready.get(), receivers.back().get()};
    WaitForMultipleObjects(2, waits, FALSE, 60000);
  }
  std::vector<base::KernelHandle> senders;
  std::vector<std::filesystem::path> sender_reports;
  for (int s = 0; s < c.senders; ++s) {
    sender_reports.push_back(folder / (name + L"-send" + std::to_wstring(s)));
    senders.push_back(bench::StartSelf(
        L"send " + name + L" " + std::to_wstring(s) + L" " + std::to_wstring(messages) + L" " +
            std::to_wstring(c.limit_ms) + L" " + std::to_wstring(seed + s) + L" " + name +
            L"-go \"" + sender_reports.back().wstring() + L"\"" +
            (c.long_messages ? L" long" : L""),
        sender_reports.back().wstring() + L".err"));
  }
  Sleep(500);  // the senders start and open the channel
  SetEvent(go.get());
  std::set<int> killed_receivers;
  if (c.kills) {
    Sleep(200);
    TerminateProcess(senders[0].get(), 1);
    TerminateProcess(receivers[0].get(), 1);
    killed_receivers.insert(0);
  }
  for (const auto& sender : senders) tally.hung += Ended(sender, 300000) ? 0 : 1;
  SetEvent(stop.get());
  for (int r = 0; r < c.receivers; ++r) {
    if (!killed_receivers.contains(r)) tally.hung += Ended(receivers[r], 30000) ? 0 : 1;
  }

  std::set<std::pair<std::uint32_t, std::uint32_t>> sent;
  for (int s = 0; s < c.senders; ++s) {
    std::istringstream lines(FileText(sender_reports[s]));
    for (std::uint32_t sequence; lines >> sequence;) sent.insert({s, sequence});
  }
  tally.sent = sent.size();
  for (int s = 0; s < c.senders; ++s) {
    const std::string err = FileText(sender_reports[s].wstring() + L".err");
    for (std::size_t at = 0; (at = err.find("force_push: msg_id", at)) != std::string::npos; ++at) {
      ++tally.forced_pushes;
    }
  }
  for (int r = 0; r < c.receivers; ++r) {
    const std::string err = FileText(receiver_reports[r].wstring() + L".err");
    for (std::size_t at = 0; (at = err.find("[recv] receiver", at)) != std::string::npos; ++at) {
      ++tally.reconnects;
    }
    if (killed_receivers.contains(r)) continue;
    std::istringstream lines(FileText(receiver_reports[r]));
    std::uint64_t corrupt = 0, duplicate = 0, reordered = 0;
    lines >> corrupt >> duplicate >> reordered;
    tally.corrupt += corrupt;
    tally.duplicate += duplicate;
    tally.reordered += reordered;
    std::uint64_t delivered = 0;
    for (std::pair<std::uint32_t, std::uint32_t> got; lines >> got.first >> got.second;) {
      delivered += sent.contains(got) ? 1 : 0;
    }
    tally.delivered += delivered;
    tally.lost += sent.size() - delivered;
  }
  return tally;
}

int RunAll() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::filesystem::path folder = std::filesystem::path(temp) / Unique(L"kestova-fault-run");
  std::filesystem::create_directories(folder);
  constexpr int kMessages = 600;
  const Case cases[] = {
      {2, 2, 1000, false, false}, {4, 4, 1000, true, true}, {4, 4, 0, false, false},
      {4, 4, 0, false, true},     {4, 4, 0, true, true},    {6, 3, 0, true, true},
  };
  std::printf("%-16s %-8s %-6s %-5s %8s %10s %8s %8s %10s %10s %11s %5s\n", "senders x recv",
              "sender", "kills", "slow", "sent", "delivered", "lost", "corrupt", "duplicate",
              "reordered", "reconnects", "hung");
  for (const Case& c : cases) {
    const Tally t = RunCase(c, folder, kMessages, 7919);
    std::printf(
        "%-16s %-8s %-6s %-5s %8llu %10llu %8llu %8llu %10llu %10llu %11llu %5d\n",
        (std::to_string(c.senders) + " x " + std::to_string(c.receivers)).c_str(),
        c.limit_ms > 0 ? "waiting" : "forcing", c.kills ? "1+1" : "-", c.slow ? "1" : "-",
        static_cast<unsigned long long>(t.sent), static_cast<unsigned long long>(t.delivered),
        static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.corrupt),
        static_cast<unsigned long long>(t.duplicate), static_cast<unsigned long long>(t.reordered),
        static_cast<unsigned long long>(t.reconnects), t.hung);
    std::fflush(stdout);
  }
  // An idle receiver, asleep when each message begins, must be woken in
  // time to read a message that fills the ring more than once.
  constexpr int kLongMessages = 100;
  const Tally idle = RunCase({1, 1, 0, false, false, true}, folder, kLongMessages, 7919);
  std::printf(
      "%zu-byte messages in fragments, limit 0, to an idle receiver: %llu of %d delivered, "
      "%llu forced pushes\n",
      kLongerThanLap, static_cast<unsigned long long>(idle.delivered), kLongMessages,
      static_cast<unsigned long long>(idle.forced_pushes));
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}

}  // namespace

int main() {
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  const wchar_t* const* argv = arguments.vector();
  if (arguments.count() >= 9 && std::wstring(argv[1]) == L"send") {
    return RunSender(argv, arguments.count());
  }
  if (arguments.count() >= 6 && std::wstring(argv[1]) == L"recv")
    return RunReceiver(argv, arguments.count());
  return RunAll();
}
