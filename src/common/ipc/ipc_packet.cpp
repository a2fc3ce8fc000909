#include "ipc/ipc_packet.h"

#include <windows.h>

#include "ipc/json_fields.h"
#include "system/process.h"

namespace ipc {
namespace {

using json_fields::Booleans;
using json_fields::ReadOptional;
using json_fields::ReadRequired;
using json_fields::WriteOptional;
using nlohmann::json;

bool ProcessIsElevated() {
  static const bool elevated = IsElevated();
  return elevated;
}

}  // namespace

std::uint64_t NowMicroseconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  constexpr std::uint64_t kUnitsFrom1601To1970 = 116444736000000000ULL;
  const std::uint64_t units =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (units - kUnitsFrom1601To1970) / 10;
}

IpcPacket::IpcPacket(ModuleId from, ModuleId to, std::int32_t msg_id, json data)
    : from(from),
      to(to),
      msg_id(msg_id),
      data(std::move(data)),
      uac(ProcessIsElevated()),
      handle_self_ipc(false),
      send_time_us(NowMicroseconds()),
      unique_id(NewGuidText()),
      from_process_id(GetCurrentProcessId()),
      to_process_id(0) {}

IpcPacket::IpcPacket(ModuleId to, std::int32_t msg_id, json data)
    : IpcPacket(LocalModule(), to, msg_id, std::move(data)) {}

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

std::optional<IpcPacket> ParseReceivedPacket(std::string_view text) {
  // The wire text ends in a NUL, which is not JSON.
  text = text.substr(0, text.find('\0'));
  try {
    IpcPacket packet = IpcPacket::ReceiverDefaults();
    from_json(json_fields::ParseBounded(text), packet);
    return packet;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace ipc
