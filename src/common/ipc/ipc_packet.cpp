#include "ipc/ipc_packet.h"

#include "ipc/json_fields.h"

namespace ipc {
namespace {

using json_fields::Booleans;
using json_fields::ReadOptional;
using json_fields::ReadRequired;
using json_fields::WriteOptional;
using nlohmann::json;

}  // namespace

IpcPacket IpcPacket::ReceiverDefaults() {
  IpcPacket packet;
  packet.uac = true;
  packet.handle_self_ipc = false;
  packet.from_process_id = 0;
  packet.to_process_id = 0;
  return packet;
}

std::optional<std::string> IpcPacket::WireText() const {
  try {
    std::string text = json(*this).dump();
    text.push_back('\0');
    return text;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

void to_json(json& j, const IpcPacket& packet) {
  j = json::object();
  j["from"] = static_cast<std::int32_t>(packet.from);
  j["to"] = static_cast<std::int32_t>(packet.to);
  j["msg_id"] = packet.msg_id;
  j["data"] = packet.data;
  WriteOptional(j, "uac", packet.uac);
  WriteOptional(j, "handle_self_ipc", packet.handle_self_ipc);
  WriteOptional(j, "send_time_us", packet.send_time_us);
  WriteOptional(j, "unique_id", packet.unique_id);
  WriteOptional(j, "from_process_id", packet.from_process_id);
  WriteOptional(j, "to_process_id", packet.to_process_id);
  WriteOptional(j, "response_channel", packet.response_channel);
}

void from_json(const json& j, IpcPacket& packet) {
  std::int32_t module = 0;
  ReadRequired(j, "from", module, Booleans::kRefused);
  packet.from = static_cast<ModuleId>(module);
  ReadRequired(j, "to", module, Booleans::kRefused);
  packet.to = static_cast<ModuleId>(module);
  ReadRequired(j, "msg_id", packet.msg_id, Booleans::kRefused);
  packet.data = j.at("data");
  ReadOptional(j, "uac", packet.uac);
  ReadOptional(j, "handle_self_ipc", packet.handle_self_ipc);
  ReadOptional(j, "send_time_us", packet.send_time_us);
  ReadOptional(j, "unique_id", packet.unique_id);
  ReadOptional(j, "from_process_id", packet.from_process_id);
  ReadOptional(j, "to_process_id", packet.to_process_id);
  ReadOptional(j, "response_channel", packet.response_channel);
}

std::string_view DropReasonText(DropReason reason) {
  switch (reason) {
    case DropReason::kNone: return "taken";
    case DropReason::kNotJson: return "not JSON";
    case DropReason::kTooDeep: return "nested too deeply";
    case DropReason::kBadEnvelope: return "envelope keys missing or of the wrong type";
    case DropReason::kOtherModule: return "addressed to another module";
    case DropReason::kOtherProcess: return "addressed to another process";
    case DropReason::kOwnMessage: return "sent by the receiving process itself";
  }
  return "unknown";
}

std::optional<IpcPacket> ParseReceivedPacket(std::string_view text, DropReason& why) {
  // The wire text ends in a NUL, which is not JSON.
  text = text.substr(0, text.find('\0'));
  json value;
  bool too_deep = false;
  try {
    value = json_fields::ParseBounded(text, &too_deep);
  } catch (const json::exception&) {
    why = too_deep ? DropReason::kTooDeep : DropReason::kNotJson;
    return std::nullopt;
  }
  try {
    IpcPacket packet = IpcPacket::ReceiverDefaults();
    from_json(value, packet);
    why = DropReason::kNone;
    return packet;
  } catch (const json::exception&) {
    why = DropReason::kBadEnvelope;
    return std::nullopt;
  }
}

std::optional<IpcPacket> ParseReceivedPacket(std::string_view text) {
  DropReason ignored = DropReason::kNone;
  return ParseReceivedPacket(text, ignored);
}

}  // namespace ipc
