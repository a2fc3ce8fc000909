#include "bus_tool.h"

#include <fcntl.h>
#include <io.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "install/install_layout.h"
#include "install/registry.h"
#include "ipc/ipc_endpoint.h"
#include "ipc/ipc_quality_monitor.h"
#include "ipc/shm/channel.h"
#include "system/process.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace bus {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

template <typename... Args>
int Refuse(fmt::format_string<Args...> format, Args&&... args) {
  std::fprintf(stderr, "KestovaIpc: %s\n",
               fmt::format(format, std::forward<Args>(args)...).c_str());
  return kRefused;
}

std::string Describe(ipc::ModuleId module) {
  return fmt::format("{} ({})", ipc::ModuleName(module), static_cast<std::int32_t>(module));
}

// The statistics land under the product key, as every product process's do.
void BecomeProductProcess(ipc::ModuleId module) {
  InstallLayout::Instance().Init(L"Kestova");
  ipc::IpcEndpoint::Instance().Init(module);
}

// ---- listen ----------------------------------------------------------------

// What ends a listen: enough packets, a quiet spell, or Ctrl+C.
class ListenEnd {
 public:
  static ListenEnd& Instance() {
    static ListenEnd end;
    return end;
  }

  void Packet() {
    {
      std::lock_guard lock(mutex_);
      ++packets_;
      last_activity_ = Clock::now();
    }
    changed_.notify_all();
  }

  void Interrupt() {
    {
      std::lock_guard lock(mutex_);
      interrupted_ = true;
    }
    changed_.notify_all();
  }

  std::uint64_t packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }

  void Wait(std::optional<std::uint64_t> count, std::optional<DWORD> idle_ms) {
    std::unique_lock lock(mutex_);
    last_activity_ = Clock::now();
    for (;;) {
      if (interrupted_ || (count && packets_ >= *count)) return;
      if (!idle_ms) {
        changed_.wait(lock);
        continue;
      }
      // Every packet moves the end of the quiet spell on.
      const Clock::time_point quiet_end = last_activity_ + std::chrono::milliseconds(*idle_ms);
      if (Clock::now() >= quiet_end) return;
      changed_.wait_until(lock, quiet_end);
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t packets_ = 0;
  bool interrupted_ = false;
  Clock::time_point last_activity_ = Clock::now();
};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  ListenEnd::Instance().Interrupt();
  return TRUE;
}

int Listen(const BusCommand& command) {
  std::vector<base::KernelHandle> held;
  for (const std::string& name : command.holds) {
    base::KernelHandle mutex(
        CreateMutexW(EveryoneSecurityAttributes(), TRUE, Utf8ToWide(name).c_str()));
    if (!mutex) return Refuse("cannot hold mutex \"{}\": error {}", name, GetLastError());
    held.push_back(std::move(mutex));
  }

  ipc::IpcEndpoint& endpoint = ipc::IpcEndpoint::Instance();
  ListenEnd& end = ListenEnd::Instance();
  endpoint.ObservePackets([&command, &end](const ipc::IpcPacket& packet) {
    if (command.count && end.packets() >= *command.count) return;
    // Text that is not UTF-8 is shown with replacement characters, not lost.
    PrintLine(json(packet).dump(-1, ' ', false, json::error_handler_t::replace));
    end.Packet();
  });
  for (const Answer& answer : command.answers) {
    endpoint.RegisterQueryResponser(answer.query_id,
                                    [value = answer.value](std::optional<json>) { return value; });
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  BecomeProductProcess(command.module);
  PrintLine("ready");
  end.Wait(command.count, command.idle_ms);
  endpoint.Shutdown();
  return kDone;
}

// ---- send and query --------------------------------------------------------

// Why the endpoint refused, told the way it decides.
std::string WhyNotSent(ipc::ModuleId to, std::optional<bool> global) {
  if (ipc::ModuleName(to) == ipc::ModuleName(ipc::ModuleId::Unknown)) {
    return fmt::format("unknown module {}", static_cast<std::int32_t>(to));
  }
  const bool chosen = global.value_or(ipc::IpcEndpoint::IsModuleReady(to, true));
  if (!ipc::IpcEndpoint::IsModuleReady(to, chosen)) {
    return fmt::format("{} is not ready in the {} namespace", Describe(to),
                       chosen ? "global" : "local");
  }
  return fmt::format("transport failure sending to {}", Describe(to));
}

int Send(const BusCommand& command) {
  // Not as the sending module: that would raise its inited marker.
  BecomeProductProcess(ipc::ModuleId::Unknown);
  ipc::IpcEndpoint& endpoint = ipc::IpcEndpoint::Instance();
  auto packet =
      std::make_shared<ipc::IpcPacket>(command.from, command.module, command.number, command.data);
  const bool sent = endpoint.Send(packet, command.global);
  const std::string why = sent ? std::string() : WhyNotSent(command.module, command.global);
  endpoint.Shutdown();
  return sent ? kDone : Refuse("{}", why);
}

// The first message on the channel, or nothing after `timeout_ms`.
std::optional<std::string> AwaitAnswer(shm::Channel& channel, DWORD timeout_ms) {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  std::atomic<bool> timed_out{false};
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!answered.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done; })) {
      timed_out = true;
      channel.cancel_recv();
    }
  });
  std::optional<std::string> answer;
  while (!timed_out) {
    const shm::ReceiveBuffer buffer = channel.recv();
    if (buffer.empty()) continue;
    std::string text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    answer = text.substr(0, text.find('\0'));
    break;
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  answered.notify_all();
  watchdog.join();
  return answer;
}

int Query(const BusCommand& command) {
  BecomeProductProcess(ipc::ModuleId::Unknown);
  ipc::IpcEndpoint& endpoint = ipc::IpcEndpoint::Instance();
  auto packet =
      std::make_shared<ipc::IpcPacket>(command.from, command.module, command.number,
                                       json{{"query_id", command.number}, {"data", command.data}});
  packet->response_channel = "KestovaIpc_answer_" + NewGuidText();
  // The answerer opens the response channel in the namespace our uac names.
  const auto channel = shm::Channel::Open(*packet->response_channel, packet->uac.value_or(true));
  if (!channel->connect(shm::ConnectMode::kReceiver)) {
    endpoint.Shutdown();
    return Refuse("cannot open the response channel");
  }
  if (!endpoint.Send(packet)) {
    const std::string why = WhyNotSent(command.module, std::nullopt);
    endpoint.Shutdown();
    return Refuse("{}", why);
  }
  const std::optional<std::string> answer = AwaitAnswer(*channel, command.timeout_ms);
  endpoint.Shutdown();
  if (!answer)
    return Refuse("no answer from {} within {} ms", Describe(command.module), command.timeout_ms);
  PrintLine(*answer);
  return kDone;
}

// ---- ready and stats -------------------------------------------------------

int Ready() {
  PrintLine(fmt::format("{:<7}{:<24}{:<10}{}", "ID", "MODULE", "GLOBAL", "LOCAL"));
  bool unchecked_shown = false;
  for (const ipc::ModuleId module : ipc::NamedModules()) {
    std::string cells[2];
    for (const bool global : {true, false}) {
      std::string cell = ipc::IsMarkerPresent(module, global) ? "ready" : "-";
      // Send counts these modules ready whatever their marker says.
      if (!ipc::IsReadinessChecked(module)) {
        cell = "(" + cell + ")";
        unchecked_shown = true;
      }
      cells[global ? 0 : 1] = cell;
    }
    PrintLine(fmt::format("{:<7}{:<24}{:<10}{}", static_cast<std::int32_t>(module),
                          ipc::ModuleName(module), cells[0], cells[1]));
  }
  if (unchecked_shown) {
    PrintLine("(...): the marker as found; send does not check it and counts the module ready");
  }
  return kDone;
}

int Stats() {
  InstallLayout::Instance().Init(L"Kestova");
  const std::wstring key = InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other);
  const auto stored = [&](const wchar_t* value) {
    return WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value, L"DEFAULT_VALUE"));
  };
  const auto ordered = [](const auto& table) {
    std::vector<std::pair<ipc::StatKey, typename std::decay_t<decltype(table)>::mapped_type>> rows(
        table.begin(), table.end());
    std::ranges::sort(rows, [](const auto& a, const auto& b) {
      return std::tie(a.first.from, a.first.to, a.first.msg_id) <
             std::tie(b.first.from, b.first.to, b.first.msg_id);
    });
    return rows;
  };
  const auto kind = [](const ipc::StatKey& key) {
    return fmt::format("{} -> {}", Describe(static_cast<ipc::ModuleId>(key.from)),
                       Describe(static_cast<ipc::ModuleId>(key.to)));
  };
  PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {}", "KIND", "FROM -> TO", "MSG_ID", "TOTAL",
                        "SUCCESS / MEAN TRANSIT"));
  for (const auto& [stat_key, counts] :
       ordered(ipc::ParseSendTable(stored(ipc::kSendStatsValue)))) {
    PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {} succeeded", "send", kind(stat_key),
                          stat_key.msg_id, counts.total, counts.success));
  }
  for (const auto& [stat_key, counts] :
       ordered(ipc::ParseRecvTable(stored(ipc::kRecvStatsValue)))) {
    PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {} us mean", "recv", kind(stat_key),
                          stat_key.msg_id, counts.total, counts.avg_cost));
  }
  return kDone;
}

}  // namespace

int Run(const BusCommand& command) {
  // One "\n" per line, as tools that read the output expect.
  _setmode(_fileno(stdout), _O_BINARY);
  switch (command.verb) {
    case Verb::kListen: return Listen(command);
    case Verb::kSend: return Send(command);
    case Verb::kQuery: return Query(command);
    case Verb::kReady: return Ready();
    case Verb::kStats: return Stats();
  }
  return kBadUsage;
}

}  // namespace bus
