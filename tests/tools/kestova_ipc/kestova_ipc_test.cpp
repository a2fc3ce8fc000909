// The bus tool's command line, and the endpoint's reasons for dropping what
// a monitor shows.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "bus_command.h"
#include "ipc/ipc_handlers.h"
#include "ipc/ipc_packet.h"

namespace {

using ipc::DropReason;

// What a command line came to: the parser's one-line complaint (the tool
// then exits 2 with the usage), or the fields that the verb uses.
std::string Outcome(const std::vector<std::string>& arguments) {
  std::string error;
  const std::optional<bus::BusCommand> command = bus::ParseBusCommand(arguments, error);
  if (!command) return "error: " + error;
  std::vector<int> watched;
  for (const ipc::ModuleId module : command->watched) watched.push_back(static_cast<int>(module));
  return fmt::format("verb {} module {} number {} watched {} count {} pid {} global {}",
                     static_cast<int>(command->verb), static_cast<int>(command->module),
                     command->number, watched, command->count.value_or(0), command->pid.value_or(0),
                     command->global ? int{*command->global} : -1);
}

TEST(BusCommandTest, RefusesBadInputInOneLineAndReadsGoodInput) {
  const std::string help = "verb 6 module 0 number 0 watched [] count 0 pid 0 global -1";
  const struct {
    std::vector<std::string> arguments;
    std::string outcome;
  } rows[] = {
      {{}, "error: no command given"},
      {{"shout"}, "error: unknown command \"shout\""},
      {{"help"}, help},
      {{"--help"}, help},
      {{"send", "--help"}, help},
      {{"listen", "EmulatorClient", "--bogus"}, "error: unknown option --bogus"},
      {{"listen", "EmulatorClient", "--count=1=2"}, "error: --count wants a number above 0"},
      {{"send", "99999", "1", "{}"}, "error: unknown module \"99999\""},
      {{"send", "NoSuchModule", "1", "{}"}, "error: unknown module \"NoSuchModule\""},
      {{"listen", "10012"}, "error: unknown module \"10012\""},
      {{"send", "HostService", "5"}, "error: send takes 3 argument(s), 2 given"},
      {{"send", "HostService", "5", "{}", "--local", "--global"},
       "error: --local and --global exclude each other"},
      {{"send", "HostService", "5", "{x"}, "error: DATA_JSON is not JSON"},
      {{"monitor", "EmulatorClient", "Nowhere"}, "error: unknown module \"Nowhere\""},
      {{"monitor", "--count", "0"}, "error: --count wants a number above 0"},
      {{"monitor", "--pid", "x"}, "error: --pid wants a process id"},
      {{"monitor", "--idle-ms", "5"}, "error: unknown option --idle-ms"},
      {{"listen", "HostService", "--pid", "5"}, "error: unknown option --pid"},
      {{"ready", "x"}, "error: ready takes 0 argument(s), 1 given"},
      {{"stats", "now"}, "error: stats takes 0 argument(s), 1 given"},
      {{"listen"}, "error: listen takes 1 argument(s), 0 given"},
      {{"send", "HostService", "five", "{}"}, "error: \"five\" is not a 32-bit number"},
      {{"send", "HostService", "5", "{}", "--from"}, "error: --from needs a value"},
      {{"query", "HostService", "5", "{}", "--timeout-ms", "soon"},
       "error: --timeout-ms wants milliseconds"},
      {{"monitor"}, "verb 1 module 0 number 0 watched [] count 0 pid 0 global -1"},
      {{"monitor", "emulatorclient", "10009", "10002", "--count=2", "--pid", "8"},
       "verb 1 module 10002 number 0 watched [10002, 10009] count 2 pid 8 global -1"},
      {{"send", "10002", "7", "{\"a\":1}", "--local"},
       "verb 2 module 10002 number 7 watched [] count 0 pid 0 global 0"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Outcome(row.arguments), row.outcome) << fmt::format("{}", row.arguments);
  }
}

TEST(DropReasonTest, NamesWhatTheEndpointWouldDrop) {
  const std::string envelope = R"({"from":1,"to":10002,"msg_id":3,"data":null)";
  const struct {
    std::string text;
    std::optional<std::uint64_t> process;
    DropReason reason;
  } rows[] = {
      {"not json", {}, DropReason::kNotJson},
      {std::string(600, '[') + std::string(600, ']'), {}, DropReason::kTooDeep},
      {R"({"from":1,"to":10002,"msg_id":"3","data":null})", {}, DropReason::kBadEnvelope},
      {R"({"from":1,"to":10002,"msg_id":3})", {}, DropReason::kBadEnvelope},
      {R"({"from":1,"to":10009,"msg_id":3,"data":null})", {}, DropReason::kOtherModule},
      {envelope + "}", {}, DropReason::kNone},
      {envelope + ",\"to_process_id\":8}", {}, DropReason::kOtherProcess},
      {envelope + ",\"to_process_id\":8}", 8, DropReason::kNone},
      {envelope + ",\"to_process_id\":0,\"from_process_id\":8}", 8, DropReason::kOwnMessage},
      {envelope + ",\"from_process_id\":8,\"handle_self_ipc\":true}", 8, DropReason::kNone},
      {envelope + ",\"from_process_id\":8}", {}, DropReason::kNone},
  };
  for (const auto& row : rows) {
    DropReason reason = DropReason::kNone;
    const auto packet = ipc::ParseReceivedPacket(row.text + '\0', reason);
    if (packet) reason = ipc::FilterReason(*packet, ipc::ModuleId::EmulatorClient, row.process);
    EXPECT_EQ(ipc::DropReasonText(reason), ipc::DropReasonText(row.reason))
        << row.text.substr(0, 80);
  }
}

}  // namespace
