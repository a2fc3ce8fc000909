// Received packet text: whatever another process put in a channel.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/ipc_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto packet =
      ipc::ParseReceivedPacket(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!packet) return 0;
  // A packet that was accepted is passed on as it was read.
  const auto wire_text = packet->WireText();
  if (!wire_text) return 0;
  const auto again = ipc::ParseReceivedPacket(*wire_text);
  if (!again || nlohmann::json(*again) != nlohmann::json(*packet)) std::abort();
  return 0;
}
