#include "bus_listener.h"

#include <chrono>

#include "test_support.h"

namespace launcher_test {
namespace {

constexpr int kClosingMessage = 424242;
constexpr char kClosingData[] = "end of the test's packets";

std::filesystem::path BusTool() { return test_support::BinaryDir() / "KestovaIpc.exe"; }

}  // namespace

BusListener::BusListener(const std::wstring& module, const std::vector<std::wstring>& held_mutexes,
                         int expected_packets)
    : module_(module) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return;
  output_.reset(read_end);
  const base::FileHandle child_output(write_end);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::wstring command_line = L"\"" + BusTool().wstring() + L"\" listen " + module +
                              L" --idle-ms 60000 --count " + std::to_wstring(expected_packets + 1);
  for (const std::wstring& name : held_mutexes) command_line += L" --hold " + name;
  process_ =
      test_support::StartProcess(BusTool(), command_line, {.stdout_handle = child_output.get()});
  if (!process_) return;
  reader_ = std::thread([this] { ReadOutput(); });
  const std::optional<std::string> first = NextLine(30000);
  ready_ = first && *first == "ready";
}

BusListener::~BusListener() {
  // It stops by itself after the closing packet; only a listener that was
  // short of packets is ended.
  if (process_ && WaitForSingleObject(process_.get(), 10000) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
  }
  if (reader_.joinable()) reader_.join();
}

void BusListener::ReadOutput() {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(output_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    const std::lock_guard lock(mutex_);
    partial_.append(buffer, read);
    for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      std::string line = partial_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(std::move(line));
      partial_.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  const std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

std::optional<std::string> BusListener::NextLine(DWORD timeout_ms) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return !lines_.empty() || ended_; });
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::vector<nlohmann::json> BusListener::PacketsSoFar() {
  std::vector<nlohmann::json> packets;
  const std::wstring send_line =
      L"\"" + BusTool().wstring() + L"\" send " + module_ + L" " +
      std::to_wstring(kClosingMessage) + L" \"\\\"" +
      std::wstring(std::begin(kClosingData), std::end(kClosingData) - 1) + L"\\\"\" --global";
  if (test_support::WaitForExitCode(test_support::StartProcess(BusTool(), send_line)) != 0) {
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
