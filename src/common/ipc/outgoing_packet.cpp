// The fields a packet to send takes from this process and the clock; the rest
// of the packet code needs no system and is built on every platform.
#include "ipc/ipc_packet.h"

#include <windows.h>

#include "system/file_time.h"
#include "system/guid.h"
#include "system/privileges.h"

namespace ipc {
namespace {

bool ProcessIsElevated() {
  static const bool elevated = IsElevated();
  return elevated;
}

}  // namespace

std::uint64_t NowMicroseconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const std::uint64_t units =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (units - kFileTimeUnitsBefore1970) / 10;
}

IpcPacket::IpcPacket(ModuleId from, ModuleId to, std::int32_t msg_id, nlohmann::json data)
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

IpcPacket::IpcPacket(ModuleId to, std::int32_t msg_id, nlohmann::json data)
    : IpcPacket(LocalModule(), to, msg_id, std::move(data)) {}

}  // namespace ipc
