#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "ipc/ipc_packet.h"
#include "ipc/module_id.h"

// A process's one IPC endpoint: it announces that the process can receive as
// its module (the inited marker), receives on the module's channel and hands
// packets to registered handlers or answers queries, sends packets to other
// modules, and keeps the send and receive statistics.
namespace ipc {

class IpcMsgHandler;
class IpcQueryResponser;
class IpcQualityMonitor;
class IpcReceiver;

// What became of a packet given to Send.
enum class SendResult {
  kSent,
  kUnnamedTarget,     // `to` has no name, so no channel
  kNotRunning,        // before Init or after Shutdown
  kTargetNotReady,    // its inited marker is missing in the chosen namespace
  kNotUtf8,           // the packet holds text that is not valid UTF-8
  kTransportRefused,  // the channel did not take it (it prints why)
};

class IpcEndpoint {
 public:
  // Made on first use; lives until the process exits.
  static IpcEndpoint& Instance();

  // Once per process; later calls do nothing. Holds the module's inited
  // marker and starts receiving on its channel, both in the global namespace
  // exactly when the process runs elevated.
  void Init(ModuleId module);
  // True when the packet's text was placed in the target's queue; false for
  // an unnamed target, before Init or after Shutdown, for a target whose
  // marker is missing in the chosen namespace (none of these is counted), or
  // when the transport refused. Without a flag the namespace is global,
  // except for a module that announces itself without a global marker.
  // Sets the packet's send_time_us.
  bool Send(std::shared_ptr<IpcPacket> packet, std::optional<bool> global = std::nullopt);
  // The same, saying why a packet was not sent.
  [[nodiscard]] SendResult TrySend(std::shared_ptr<IpcPacket> packet,
                                   std::optional<bool> global = std::nullopt);
  // Once per process: ends receiving at once, waits (2 s at most) until the
  // chunks of this process's sent packets are read, releases the marker and
  // stores the statistics.
  void Shutdown();

  // For the store and emulator clients, the host service, the desktop
  // companion and the smart companion: whether the module's inited marker
  // exists in that namespace. Every other module counts as ready.
  static bool IsModuleReady(ModuleId module, bool global);

  // Each handler runs on a thread of its own with the packet; a later
  // registration under the same number replaces the earlier one.
  void RegisterMsgHandler(std::int32_t msg_id,
                          std::function<void(std::shared_ptr<IpcPacket>)> handler);
  // Answers a query {"query_id", "data"} with the returned JSON.
  void RegisterQueryResponser(
      std::int32_t query_id,
      std::function<nlohmann::json(std::optional<nlohmann::json>)> responser);
  // Sees every received packet that passes the filters, in arrival order, on
  // the receiving thread; it must return quickly.
  void ObservePackets(std::function<void(const IpcPacket&)> observer);

  ModuleId module_id() const { return static_cast<ModuleId>(module_id_.load()); }
  // Whether Init connected the receiving task to the module's channel; not
  // for an unnamed module, nor when the channel has no free receiver place
  // or cannot be opened.
  bool receiving() const { return receiving_; }
  const IpcQualityMonitor& quality_monitor() const { return *quality_monitor_; }

 private:
  IpcEndpoint();
  class Marker;

  std::atomic<std::int32_t> module_id_{0};
  std::atomic<bool> stopped_{true};
  std::atomic<bool> receiving_{false};
  std::unique_ptr<Marker> inited_marker_;
  std::shared_ptr<IpcQueryResponser> query_responser_;
  std::shared_ptr<IpcMsgHandler> msg_handler_;
  std::shared_ptr<IpcQualityMonitor> quality_monitor_;
  std::unique_ptr<IpcReceiver> receiver_;
  std::once_flag init_once_;
  std::once_flag shutdown_once_;
};

// Why an endpoint of `module` in process `process` drops a parsed packet:
// addressed to another module, to another process of it (to_process_id
// other than 0 and `process`), or sent by `process` itself without
// handle_self_ipc. Without a process, judged as one that neither sent the
// packet nor is named by it.
DropReason FilterReason(const IpcPacket& packet, ModuleId module,
                        std::optional<std::uint64_t> process);
// True when this process's endpoint drops the packet.
bool Filtered(const std::shared_ptr<IpcPacket>& packet);

// Whether some process holds the module's inited marker in that namespace.
bool IsMarkerPresent(ModuleId module, bool global);
// Whether Send looks at the module's marker before it sends.
bool IsReadinessChecked(ModuleId module);

}  // namespace ipc
