#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/module_id.h"

namespace ipc {

// The envelope of every message between the product's processes. Optional
// fields are written only when present.
struct IpcPacket {
  // A packet to send, with every delivery field present: uac (this process is
  // elevated), handle_self_ipc false, send_time_us now, a fresh unique_id,
  // from_process_id this process, to_process_id 0 (any process of `to`).
  IpcPacket(ModuleId from, ModuleId to, std::int32_t msg_id, nlohmann::json data);
  // The same, sent by the module this process's endpoint was initialised as.
  IpcPacket(ModuleId to, std::int32_t msg_id, nlohmann::json data);

  // What a receiver starts from before reading an envelope: uac true,
  // handle_self_ipc false, both process ids 0; the rest absent.
  static IpcPacket ReceiverDefaults();

  // Compact JSON, non-ASCII text unescaped, followed by one NUL; nothing when
  // the packet holds text that is not valid UTF-8.
  [[nodiscard]] std::optional<std::string> WireText() const;

  ModuleId from = ModuleId::Unknown;
  ModuleId to = ModuleId::Unknown;
  std::int32_t msg_id = 0;
  nlohmann::json data;
  std::optional<bool> uac;
  std::optional<bool> handle_self_ipc;
  std::optional<std::uint64_t> send_time_us;
  std::optional<std::string> unique_id;
  std::optional<std::uint64_t> from_process_id;
  std::optional<std::uint64_t> to_process_id;
  // Set on a query: the name of the channel the answer goes to.
  std::optional<std::string> response_channel;

 private:
  IpcPacket() = default;
};

// The system clock in microseconds since 1970-01-01 UTC: a packet's send time.
std::uint64_t NowMicroseconds();

// "from", "to", "msg_id" and "data" are required (the first three any JSON
// number, truncated); present optional keys replace the packet's fields,
// absent ones leave them. Raises the JSON library's exceptions.
void to_json(nlohmann::json& json, const IpcPacket& packet);
void from_json(const nlohmann::json& json, IpcPacket& packet);

// Why a receiving endpoint drops a message; kNone when it takes it. The
// first three come from reading the text, the others from the filters.
enum class DropReason {
  kNone,
  kNotJson,
  kTooDeep,
  kBadEnvelope,  // "from", "to", "msg_id" or "data" missing, or a field of the wrong type
  kOtherModule,
  kOtherProcess,
  kOwnMessage,  // sent by the receiving process itself, without handle_self_ipc
};

// A few words for people who read why a message was dropped.
std::string_view DropReasonText(DropReason reason);

// A received envelope (up to its first NUL) over the receiver defaults, or
// nothing when the text is not JSON or the envelope is malformed; `why` then
// says which.
[[nodiscard]] std::optional<IpcPacket> ParseReceivedPacket(std::string_view text, DropReason& why);
[[nodiscard]] std::optional<IpcPacket> ParseReceivedPacket(std::string_view text);

}  // namespace ipc
