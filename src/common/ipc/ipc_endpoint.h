#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ipc/ipc_packet.h"
#include "ipc/module_id.h"

namespace shm {
class HeldMutex;
}

namespace ipc {

class IpcMsgHandler;
class IpcQueryResponser;
class IpcQualityMonitor;
class IpcReceiver;

// What became of a packet given to Send.
enum class SendResult {
  kSent,
  kUnnamedTarget,     // `to` has no name, so no channel
  kNotRunning,        // not initialised yet, or shut down
  kTargetNotReady,    // its inited marker is missing in the chosen namespace
  kNotUtf8,           // the packet holds text that is not valid UTF-8
  kTransportRefused,  // the channel did not take it (it prints why)
};

// A process's IPC endpoint: it announces that the process can receive as its
// module (the inited marker), receives on the module's channel and hands
// packets to registered handlers or answers queries, sends packets to other
// modules, and keeps the send and receive statistics.
class IpcEndpoint {
 public:
  // The registry key under HKEY_CURRENT_USER where Shutdown merges the
  // statistics, asked for then; an empty key stores nothing.
  using StatisticsKey = std::function<std::wstring()>;

  // The process's own endpoint, made on first use and never destroyed; its
  // statistics go to the product key of the install layout, and its Init
  // gives packets built without a sender their `from`.
  static IpcEndpoint& Instance();

  explicit IpcEndpoint(StatisticsKey statistics_key);
  // Shuts down when that has not happened yet.
  ~IpcEndpoint();
  IpcEndpoint(const IpcEndpoint&) = delete;
  IpcEndpoint& operator=(const IpcEndpoint&) = delete;

  // Once per endpoint; later calls do nothing. Holds the module's inited
  // marker and starts receiving on its channel, both in the global namespace
  // exactly when the process runs elevated.
  void Init(ModuleId module);
  // True when the packet's text was placed in the target's queue: TrySend
  // for callers that need no reason.
  [[nodiscard]] bool Send(std::shared_ptr<IpcPacket> packet,
                          std::optional<bool> global = std::nullopt);
  // Refused before the transport (and not counted): an unnamed target,
  // before Init or after Shutdown, a target whose marker is missing in the
  // chosen namespace. Without a flag the namespace is global, except for a
  // module that announces itself without a global marker. Sets the packet's
  // send_time_us.
  [[nodiscard]] SendResult TrySend(std::shared_ptr<IpcPacket> packet,
                                   std::optional<bool> global = std::nullopt);
  // Once per endpoint: ends receiving at once, waits (2 s at most) until the
  // chunks of this process's sent packets are read, releases the marker and
  // stores the statistics.
  void Shutdown();

  // For the modules that announce themselves (see IsReadinessChecked):
  // whether the module's inited marker exists in that namespace. Every other
  // module counts as ready.
  [[nodiscard]] static bool IsModuleReady(ModuleId module, bool global);

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
  StatisticsKey statistics_key_;
  bool gives_process_identity_ = false;
  std::atomic<std::int32_t> module_id_{0};
  // Shared with the receiving task and the threads that answer queries.
  std::shared_ptr<std::atomic<bool>> stopped_;
  std::atomic<bool> receiving_{false};
  // Held from Init to Shutdown; when another process of the module holds
  // it already, ours is one more handle to it.
  std::unique_ptr<shm::HeldMutex> inited_marker_;
  std::shared_ptr<IpcQueryResponser> query_responser_;
  std::shared_ptr<IpcMsgHandler> msg_handler_;
  std::shared_ptr<IpcQualityMonitor> quality_monitor_;
  std::unique_ptr<IpcReceiver> receiver_;
  std::once_flag init_once_;
  std::once_flag shutdown_once_;
};

// Whether some process holds the module's inited marker in that namespace.
[[nodiscard]] bool IsMarkerPresent(ModuleId module, bool global);

}  // namespace ipc
