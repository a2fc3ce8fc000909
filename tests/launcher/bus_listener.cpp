#include "bus_listener.h"

namespace launcher_test {
namespace {

constexpr int kClosingMessage = 424242;
constexpr char kClosingData[] = "end of the test's packets";

std::wstring ListenArguments(const std::wstring& module, const std::vector<std::wstring>& held,
                             int expected_packets) {
  std::wstring arguments = L"listen " + module + L" --idle-ms 60000 --count " +
                           std::to_wstring(expected_packets + 1);
  for (const std::wstring& name : held) arguments += L" --hold " + name;
  return arguments;
}

}  // namespace

BusListener::BusListener(const std::wstring& module, const std::vector<std::wstring>& held_mutexes,
                         int expected_packets)
    : module_(module), process_(ListenArguments(module, held_mutexes, expected_packets)) {
  ready_ = process_.WaitReady();
}

std::optional<std::string> BusListener::NextLine(DWORD timeout_ms) {
  if (!process_.WaitForMoreLines(next_line_, timeout_ms)) return std::nullopt;
  return process_.lines()[next_line_++];
}

std::vector<nlohmann::json> BusListener::PacketsSoFar() {
  std::vector<nlohmann::json> packets;
  const std::wstring closing = L"send " + module_ + L" " + std::to_wstring(kClosingMessage) +
                               L" \"\\\"" +
                               std::wstring(std::begin(kClosingData), std::end(kClosingData) - 1) +
                               L"\\\"\" --global";
  if (ipc_test::RunBus(closing).exit_code != 0) {
    packets.push_back({{"error", "the closing packet could not be sent"}});
    return packets;
  }
  while (const std::optional<std::string> line = NextLine(30000)) {
    nlohmann::json packet = nlohmann::json::parse(*line, nullptr, false);
    if (packet.is_object() && packet.value("msg_id", 0) == kClosingMessage &&
        packet.value("data", std::string()) == kClosingData) {
      return packets;
    }
    packets.push_back(std::move(packet));
  }
  packets.push_back({{"error", "the closing packet never arrived"}});
  return packets;
}

}  // namespace launcher_test
