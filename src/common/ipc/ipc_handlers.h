#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "ipc/ipc_packet.h"
#include "ipc/module_id.h"

// What a process does with the packets that reach its endpoint: messages go
// to the handler registered for their msg_id, queries to the answerer of
// their query_id. Each callback runs on a thread of its own; one that throws
// loses its message or answer, never the process.
namespace ipc {

using MsgHandler = std::function<void(std::shared_ptr<IpcPacket>)>;
// Given the query's "data", returns the answer.
using QueryAnswerer = std::function<nlohmann::json(std::optional<nlohmann::json>)>;

// Why an endpoint of `module` in process `process` drops a parsed packet:
// addressed to another module, to another process of it (to_process_id
// other than 0 and `process`), or sent by `process` itself without
// handle_self_ipc. Without a process, judged as one that neither sent the
// packet nor is named by it.
[[nodiscard]] DropReason FilterReason(const IpcPacket& packet, ModuleId module,
                                      std::optional<std::uint64_t> process);
// True when an endpoint of `module` in this process drops the packet.
[[nodiscard]] bool Filtered(const std::shared_ptr<IpcPacket>& packet, ModuleId module);

class IpcQueryResponser {
 public:
  // No answer is sent once `stopped` is true. Shared with the threads that
  // answer, which may outlive the endpoint.
  explicit IpcQueryResponser(std::shared_ptr<const std::atomic<bool>> stopped)
      : stopped_(std::move(stopped)) {}

  // A later registration under the same number replaces the earlier one.
  void Register(std::int32_t query_id, QueryAnswerer answerer);
  // The packet's data must be {"query_id": integer, "data": any}; the answer
  // goes as compact JSON plus a NUL to the channel named by the packet's
  // response_channel, in the global namespace unless the packet's uac is false.
  void Respond(const std::shared_ptr<IpcPacket>& packet);

 private:
  std::shared_ptr<const std::atomic<bool>> stopped_;
  std::mutex mutex_;
  std::map<std::int32_t, QueryAnswerer> answerers_;
};

class IpcMsgHandler {
 public:
  explicit IpcMsgHandler(std::shared_ptr<IpcQueryResponser> responser)
      : responser_(std::move(responser)) {}

  // A later registration under the same number replaces the earlier one.
  void Register(std::int32_t msg_id, MsgHandler handler);
  // Sees every packet that passes the filters, queries included, on the
  // receiving thread and in arrival order, before it is dispatched.
  void SetObserver(std::function<void(const IpcPacket&)> observer);
  // The module whose packets pass the filters; Unknown (none) until set.
  void SetModule(ModuleId module) { module_ = static_cast<std::int32_t>(module); }
  // Drops filtered packets; answers queries; hands messages to their handler.
  void Handle(const std::shared_ptr<IpcPacket>& packet);

 private:
  std::shared_ptr<IpcQueryResponser> responser_;
  std::atomic<std::int32_t> module_{0};
  std::mutex mutex_;
  std::map<std::int32_t, MsgHandler> handlers_;
  std::function<void(const IpcPacket&)> observer_;
};

}  // namespace ipc
