// A process at the other end of a channel, for the transport's tests. It
// takes key=value arguments:
//   role=recv name= global= count= ready=EVENT [hold=EVENT] [first=0|1] report=FILE
//       connects as a receiver, sets `ready`, waits for `hold` if given, then
//       receives `count` messages and writes one report line per message,
//       after a first line "conn <id>". It gives up (exit 12) after 10 s
//       without a message: what has not come by then was lost.
//   role=send name= global= size= count= tag= [go=EVENT] [sent=EVENT]
//       [first=0|1] [wait_chunks=MS] [report=FILE]
//       sends `count` checkable messages and exits 0 when every send succeeded.
//   first=G opens a channel with global flag G before the one it uses, so the
//   process's connection ids come from that namespace's counter.
//   role=hold-lock lock=NAME ready=EVENT
//       takes a named mutex, sets `ready` and exits without releasing it.
//   role=hold-spin name= global= ready=EVENT [chunk=SIZE [half_built=1]]
//       takes the spin lock of the channel's ring (not yet constructed), or
//       of the chunk block of SIZE (first leaving its free list half built),
//       sets `ready` and waits to be killed.
//   parent=PID (given by the tests to every role): a peer whose test has
//       gone stops waiting for it.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "cmdline/arguments.h"
#include "ipc/shm/channel.h"
#include "ipc/shm/chunk_registry.h"
#include "ipc/shm/ring.h"
#include "shm_payload.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

using Options = std::map<std::string, std::string>;

Options ParseOptions() {
  Options options;
  const auto arguments = cmdline::Arguments::OfProcess();
  for (int i = 1; i < arguments.count(); ++i) {
    const std::string text = WideToUtf8(arguments.vector()[i]);
    const size_t equals = text.find('=');
    if (equals != std::string::npos) options[text.substr(0, equals)] = text.substr(equals + 1);
  }
  return options;
}

std::string Get(const Options& options, const std::string& key, const std::string& fallback = "") {
  const auto found = options.find(key);
  return found == options.end() ? fallback : found->second;
}

void SetNamedEvent(const std::string& name) {
  if (name.empty()) return;
  const base::KernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, Utf8ToWide(name).c_str()));
  if (event) SetEvent(event.get());
}

// The test that started this peer; null when not given.
HANDLE Parent(const Options& options) {
  static const base::KernelHandle parent(
      OpenProcess(SYNCHRONIZE, FALSE, std::stoul(Get(options, "parent", "0"))));
  return parent.get();
}

// Waits as long as the test that will set the event lives.
bool WaitNamedEvent(const Options& options, const std::string& key) {
  const std::string name = Get(options, key);
  if (name.empty()) return true;
  const base::KernelHandle event(OpenEventW(SYNCHRONIZE, FALSE, Utf8ToWide(name).c_str()));
  if (!event) return false;
  const HANDLE parent = Parent(options);
  const HANDLE waits[] = {event.get(), parent};
  return WaitForMultipleObjects(parent != nullptr ? 2 : 1, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

// Binds the process's connection ids to the namespace asked for.
std::unique_ptr<shm::Channel> OpenFirst(const Options& options) {
  const std::string first = Get(options, "first");
  if (first.empty()) return nullptr;
  return shm::Channel::Open(Get(options, "name") + "-first", first == "1");
}

int Receive(const Options& options) {
  const auto first = OpenFirst(options);
  auto channel = shm::Channel::Open(Get(options, "name"), Get(options, "global") == "1");
  if (!channel->connect(shm::ConnectMode::kReceiver)) return 10;
  SetNamedEvent(Get(options, "ready"));
  if (!WaitNamedEvent(options, "hold")) return 11;
  std::ofstream report(Get(options, "report"), std::ios::binary);
  report << "conn " << channel->conn_id() << "\n" << std::flush;
  const int count = std::stoi(Get(options, "count", "0"));
  // Senders place a message within milliseconds of the last one, a few
  // seconds when a process has to start first.
  constexpr ULONGLONG kQuietMs = 10000;
  ULONGLONG last = GetTickCount64();
  int received = 0;
  while (received < count && GetTickCount64() - last < kQuietMs) {
    const shm::ReceiveBuffer buffer = channel->recv();
    if (buffer.empty()) continue;
    last = GetTickCount64();
    const shm_test::Received line = shm_test::Describe(buffer.data(), buffer.size());
    report << line.size << " " << line.hash << " " << line.tag << " " << line.sequence << "\n"
           << std::flush;
    ++received;
  }
  return received == count ? 0 : 12;
}

int Send(const Options& options) {
  const auto first = OpenFirst(options);
  auto channel = shm::Channel::Open(Get(options, "name"), Get(options, "global") == "1");
  if (!Get(options, "report").empty()) {
    std::ofstream(Get(options, "report")) << "conn " << channel->conn_id() << "\n";
  }
  if (!channel->connect(shm::ConnectMode::kSender)) return 20;
  if (!WaitNamedEvent(options, "go")) return 21;
  const auto size = static_cast<std::size_t>(std::stoull(Get(options, "size", "1")));
  const int count = std::stoi(Get(options, "count", "1"));
  const auto tag = static_cast<std::uint32_t>(std::stoul(Get(options, "tag", "0")));
  bool all_sent = true;
  for (int sequence = 0; sequence < count; ++sequence) {
    const auto payload = shm_test::MakePayload(tag, sequence, size);
    all_sent = channel->send(payload.data(), payload.size()) && all_sent;
  }
  SetNamedEvent(Get(options, "sent"));
  if (const std::string wait = Get(options, "wait_chunks"); !wait.empty()) {
    if (!shm::WaitForSentChunksReleased(std::stoul(wait))) return 22;
  }
  return all_sent ? 0 : 23;
}

int HoldLock(const Options& options) {
  shm::NamedMutex mutex;
  if (!mutex.Open(Get(options, "lock"))) return 30;
  shm::MutexGuard held = mutex.Lock();
  if (!held) return 30;
  SetNamedEvent(Get(options, "ready"));
  ExitProcess(0);  // still holding the mutex: it is abandoned
}

int HoldSpin(const Options& options) {
  shm::handle block;
  const std::string chunk = Get(options, "chunk");
  const std::size_t chunk_size = chunk.empty() ? 0 : std::stoul(chunk);
  if (chunk.empty()) {
    if (!block.acquire("__QU_CONN__64__8__" + Get(options, "name"), sizeof(shm::Ring),
                       Get(options, "global") == "1")) {
      return 40;
    }
  } else if (!block.acquire("__CHUNK_INFO__" + chunk, shm::ChunkBlockBytes(chunk_size), true)) {
    return 40;
  }
  auto* ring = static_cast<shm::Ring*>(block.mem());
  auto* chunks = static_cast<shm::ChunkBlockHeader*>(block.mem());
  const shm::SpinLock lock(chunk.empty() ? ring->construct_lock : chunks->lock);
  if (Get(options, "half_built") == "1") {
    for (std::uint8_t i = 0; i < shm::kChunksPerBlock / 2; ++i) chunks->links[i] = i + 1;
  }
  SetNamedEvent(Get(options, "ready"));
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int main() {
  const Options options = ParseOptions();
  const std::string role = Get(options, "role");
  if (role == "recv") return Receive(options);
  if (role == "send") return Send(options);
  if (role == "hold-lock") return HoldLock(options);
  if (role == "hold-spin") return HoldSpin(options);
  return 2;
}
