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
#include "system/guid.h"
#include "system/security.h"
#include "system/product_name.h"
#include "system/text.h"
#include "system/unique_resource.h"
#include "monitor.h"
#include "tool_output.h"

namespace bus {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::string Describe(ipc::ModuleId module) {
  return fmt::format("{} ({})", ipc::ModuleName(module), static_cast<std::int32_t>(module));
}

// The statistics land under the product key, as every product process's do.
void BecomeProductProcess(ipc::ModuleId module) {
  InstallLayout::Instance().Init(product::kProductName);
  ipc::IpcEndpoint::Instance().Init(module);
}

// ---- listen ----------------------------------------------------------------

[[nodiscard]] int Listen(const BusCommand& command) {
  std::vector<base::KernelHandle> held;
  for (const std::string& name : command.holds) {
    base::KernelHandle mutex(
        CreateMutexW(EveryoneSecurityAttributes(), TRUE, Utf8ToWide(name).c_str()));
    if (!mutex) return Refuse("cannot hold mutex \"{}\": error {}", name, GetLastError());
    held.push_back(std::move(mutex));
  }

  ipc::IpcEndpoint& endpoint = ipc::IpcEndpoint::Instance();
  RunEnd& end = RunEnd::Instance();
  endpoint.ObservePackets([&command, &end](const ipc::IpcPacket& packet) {
    if (!end.Wanted(command.count)) return;
    // Text that is not UTF-8 is shown with replacement characters, not lost.
    end.Printed(PrintLine(json(packet).dump(-1, ' ', false, json::error_handler_t::replace)));
  });
  for (const Answer& answer : command.answers) {
    endpoint.RegisterQueryResponser(answer.query_id,
                                    [value = answer.value](std::optional<json>) { return value; });
  }
  end.EndOnInterrupt();
  BecomeProductProcess(command.module);
  if (!endpoint.receiving()) {
    endpoint.Shutdown();
    return Refuse(
        "cannot receive as {}: its channel has no free receiver place, or its ring "
        "cannot be mapped",
        Describe(command.module));
  }
  if (!PrintLine("ready")) end.End();
  end.Wait(command.count, command.idle_ms);
  endpoint.Shutdown();
  return kDone;
}

// ---- send and query --------------------------------------------------------

// Why the endpoint refused a packet for `to`; `global` as the caller gave it.
std::string WhyNotSent(ipc::SendResult result, ipc::ModuleId to, std::optional<bool> global) {
  switch (result) {
    case ipc::SendResult::kSent: return "sent";
    case ipc::SendResult::kUnnamedTarget:
      return fmt::format("module {} has no name, so no channel", static_cast<std::int32_t>(to));
    case ipc::SendResult::kNotRunning: return "the endpoint is not running";
    case ipc::SendResult::kTargetNotReady:
      // Without a flag the endpoint tries the global namespace, then the local one.
      if (!global) return fmt::format("{} is ready in neither namespace", Describe(to));
      return fmt::format("{} is not ready in the {} namespace", Describe(to),
                         *global ? "global" : "local");
    case ipc::SendResult::kNotUtf8: return "the packet holds text that is not UTF-8";
    case ipc::SendResult::kTransportRefused:
      return fmt::format("the channel of {} did not take the packet", Describe(to));
  }
  return "not sent";
}

[[nodiscard]] int Send(const BusCommand& command) {
  // Not as the sending module: that would raise its inited marker.
  BecomeProductProcess(ipc::ModuleId::Unknown);
  ipc::IpcEndpoint& endpoint = ipc::IpcEndpoint::Instance();
  auto packet =
      std::make_shared<ipc::IpcPacket>(command.from, command.module, command.number, command.data);
  const ipc::SendResult result = endpoint.TrySend(packet, command.global);
  endpoint.Shutdown();
  if (result != ipc::SendResult::kSent) {
    return Refuse("{}", WhyNotSent(result, command.module, command.global));
  }
  // So that a monitor's line can be matched to it. The packet went out: an
  // output nobody reads loses only its id, which is no refusal.
  static_cast<void>(PrintLine(packet->unique_id.value_or("")));
  return kDone;
}

// The first message on the channel, or nothing after `timeout_ms`.
[[nodiscard]] std::optional<std::string> AwaitAnswer(shm::Channel& channel, DWORD timeout_ms) {
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

[[nodiscard]] int Query(const BusCommand& command) {
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
  if (const ipc::SendResult result = endpoint.TrySend(packet); result != ipc::SendResult::kSent) {
    endpoint.Shutdown();
    return Refuse("{}", WhyNotSent(result, command.module, std::nullopt));
  }
  const std::optional<std::string> answer = AwaitAnswer(*channel, command.timeout_ms);
  endpoint.Shutdown();
  if (!answer)
    return Refuse("no answer from {} within {} ms", Describe(command.module), command.timeout_ms);
  return PrintLine(*answer) ? kDone : kRefused;
}

// ---- ready and stats -------------------------------------------------------

[[nodiscard]] int Ready() {
  static constexpr char kRow[] = "{:<7}{:<24}{:<10}{:<8}{:<10}{}";
  bool printed =
      PrintLine(fmt::format(kRow, "ID", "MODULE", "G.MARKER", "G.RECV", "L.MARKER", "L.RECV"));
  std::string checked;
  for (const ipc::ModuleId module : ipc::NamedModules()) {
    if (ipc::IsReadinessChecked(module)) {
      checked += checked.empty() ? "" : ", ";
      checked += ipc::ModuleName(module);
    }
    std::string cells[4];
    for (const bool global : {true, false}) {
      const std::optional<int> receivers = shm::ConnectedReceivers(ipc::ModuleName(module), global);
      cells[global ? 0 : 2] = ipc::IsMarkerPresent(module, global) ? "held" : "-";
      cells[global ? 1 : 3] = receivers ? std::to_string(*receivers) : "-";
    }
    printed =
        PrintLine(fmt::format(kRow, static_cast<std::int32_t>(module), ipc::ModuleName(module),
                              cells[0], cells[1], cells[2], cells[3])) &&
        printed;
  }
  printed = PrintLine("G. global namespace, L. local namespace.") && printed;
  printed =
      PrintLine("MARKER: held while a process runs as the module. send looks at it only for " +
                checked + "; it counts every other module ready.") &&
      printed;
  printed = PrintLine(
                "RECV: receivers connected to the module's channel (a listener, a monitor); "
                "- when the channel does not exist.") &&
            printed;
  return printed ? kDone : kRefused;
}

[[nodiscard]] int Stats() {
  InstallLayout::Instance().Init(product::kProductName);
  const std::wstring key = InstallLayout::Instance().RegistryKeyFor(ComponentKind::Other);
  const auto stored = [&](const wchar_t* value) {
    return WideToUtf8(ReadRegString(HKEY_CURRENT_USER, key, value, kRegAbsentMarker));
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
  bool printed = PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {}", "KIND", "FROM -> TO", "MSG_ID",
                                       "TOTAL", "SUCCESS / MEAN TRANSIT"));
  for (const auto& [stat_key, counts] :
       ordered(ipc::ParseSendTable(stored(ipc::kSendStatsValue)))) {
    printed &= PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {} succeeded", "send", kind(stat_key),
                                     stat_key.msg_id, counts.total, counts.success));
  }
  for (const auto& [stat_key, counts] :
       ordered(ipc::ParseRecvTable(stored(ipc::kRecvStatsValue)))) {
    printed &= PrintLine(fmt::format("{:<6}{:<52}{:>8}{:>10}  {} us mean", "recv", kind(stat_key),
                                     stat_key.msg_id, counts.total, counts.avg_cost));
  }
  return printed ? kDone : kRefused;
}

}  // namespace

int Run(const BusCommand& command) {
  // One "\n" per line, as tools that read the output expect.
  _setmode(_fileno(stdout), _O_BINARY);
  switch (command.verb) {
    case Verb::kListen: return Listen(command);
    case Verb::kSend: return Send(command);
    case Verb::kQuery: return Query(command);
    case Verb::kMonitor: return Monitor(command);
    case Verb::kReady: return Ready();
    case Verb::kHelp: return std::fputs(kUsage, stdout) >= 0 ? kDone : kRefused;
    case Verb::kStats: return Stats();
  }
  return kBadUsage;
}

}  // namespace bus
