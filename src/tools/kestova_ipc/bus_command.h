#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ipc/module_id.h"

// The command line of KestovaIpc, the product's message-bus tool.
namespace bus {

enum class Verb { kListen, kMonitor, kSend, kQuery, kReady, kStats, kHelp };

struct Answer {
  std::int32_t query_id = 0;
  nlohmann::json value;
};

struct BusCommand {
  Verb verb = Verb::kReady;
  ipc::ModuleId module = ipc::ModuleId::Unknown;  // listen, send, query
  std::int32_t number = 0;                        // the message or query number
  nlohmann::json data;                            // send, query
  ipc::ModuleId from = ipc::ModuleId::LaunchAgent;
  std::optional<bool> global;          // send: --global / --local
  std::vector<std::string> holds;      // listen: mutexes to hold
  std::vector<Answer> answers;         // listen: fixed query answers
  std::vector<ipc::ModuleId> watched;  // monitor: the channels' modules; none for all
  std::optional<std::uint64_t> pid;    // monitor: judge drops as this process
  std::optional<std::uint64_t> count;  // listen, monitor: stop after N lines
  std::optional<DWORD> idle_ms;        // listen: stop after T ms idle
  DWORD timeout_ms = 5000;             // query: wait for the answer
};

// The arguments after the program path, in UTF-8. Nothing when they are not
// a command; `error` then says why in one line.
[[nodiscard]] std::optional<BusCommand> ParseBusCommand(const std::vector<std::string>& arguments,
                                                        std::string& error);

extern const char kUsage[];

}  // namespace bus
