#include "bus_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "test_support.h"

namespace ipc_test {

BusProcess::BusProcess(const std::wstring& arguments, Reading reading) : reading_(reading) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  base::FileHandle read_end;
  base::FileHandle write_end;
  HANDLE read_raw = nullptr;
  HANDLE write_raw = nullptr;
  // Without a process there is no output to wait for.
  const auto not_started = [&](const char* what) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << what << ": error " << error;
    ended_ = true;
  };
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) {
    not_started("no pipe");
    return;
  }
  read_end.reset(read_raw);
  write_end.reset(write_raw);
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

  const std::wstring executable = (test_support::BinaryDir() / "KestovaIpc.exe").wstring();
  std::wstring command_line = L"\"" + executable + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!test_support::CreateProcessDespiteWine([&] {
        return CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                              nullptr, nullptr, &startup, &info);
      })) {
    not_started("could not start KestovaIpc.exe");
    return;
  }
  process_.reset(info.hProcess);
  const base::KernelHandle thread(info.hThread);
  // Only the child may hold the write end, or the pipe never reports its end.
  write_end.reset();
  reader_ =
      std::thread([this, pipe = std::move(read_end)]() mutable { ReadOutput(std::move(pipe)); });
}

BusProcess::~BusProcess() {
  if (process_ && WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
  }
  if (reader_.joinable()) reader_.join();
}

void BusProcess::ReadOutput(base::FileHandle pipe) {
  std::string pending;
  char buffer[4096];
  DWORD read = 0;
  bool ready = false;
  while (!ready && ReadFile(pipe.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    pending.append(buffer, read);
    std::lock_guard lock(mutex_);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      std::erase(line, '\r');
      ready = ready || (reading_ == Reading::kUpToReady && line == "ready");
      lines_.push_back(std::move(line));
      pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  // The pipe stays open, unread, for as long as the process writes to it.
  if (ready) WaitForSingleObject(process_.get(), INFINITE);
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

DWORD BusProcess::Finish() {
  const DWORD code = test_support::WaitForExitCode(process_);
  // The pipe ends only with the process.
  if (code == test_support::kNoExitCode) TerminateProcess(process_.get(), 1);
  if (reader_.joinable()) reader_.join();
  return code;
}

bool BusProcess::WaitReady() {
  const ULONGLONG deadline = GetTickCount64() + 20000;
  for (ULONGLONG now; (now = GetTickCount64()) < deadline;) {
    const std::optional<std::string> line = NextLine(static_cast<DWORD>(deadline - now));
    if (!line) return false;
    if (*line == "ready") return true;
  }
  return false;
}

std::vector<std::string> BusProcess::lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::optional<std::string> BusProcess::NextLine(DWORD timeout_ms) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return ended_ || lines_.size() > next_line_; }) ||
      lines_.size() <= next_line_) {
    return std::nullopt;
  }
  return lines_[next_line_++];
}

std::vector<nlohmann::json> BusProcess::PacketsSoFar(const std::wstring& module,
                                                     std::size_t expected) {
  constexpr int kClosingMessage = 424242;
  const auto close = [&] {
    return RunBus(L"send " + module + L" " + std::to_wstring(kClosingMessage) + L" {} --global")
               .exit_code == 0;
  };
  std::vector<nlohmann::json> packets;
  if (!close()) {
    packets.push_back({{"error", "the closing packet could not be sent"}});
    return packets;
  }
  while (const std::optional<std::string> line = NextLine(20000)) {
    // What the transport prints on the same stream is not a packet.
    if (!line->starts_with("{")) continue;
    nlohmann::json packet = nlohmann::json::parse(*line, nullptr, false);
    if (packet.is_object() && packet.value("msg_id", 0) == kClosingMessage) {
      for (std::size_t sent = packets.size(); sent < expected; ++sent) {
        if (!close()) break;
      }
      return packets;
    }
    packets.push_back(std::move(packet));
  }
  packets.push_back({{"error", "the closing packet never arrived"}});
  return packets;
}

BusRun RunBus(const std::wstring& arguments) {
  BusProcess bus(arguments);
  const DWORD code = bus.Finish();
  return {code, bus.lines()};
}

}  // namespace ipc_test
