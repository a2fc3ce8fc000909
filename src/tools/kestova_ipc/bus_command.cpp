#include "bus_command.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>

namespace bus {
namespace {

using nlohmann::json;

constexpr std::size_t kAnyNumber = SIZE_MAX;

struct VerbShape {
  Verb verb;
  // Arguments after the verb, options aside.
  std::size_t fewest;
  std::size_t most;
};

const std::map<std::string, VerbShape>& Verbs() {
  static const std::map<std::string, VerbShape> verbs = {
      {"listen", {Verb::kListen, 1, 1}}, {"monitor", {Verb::kMonitor, 0, kAnyNumber}},
      {"send", {Verb::kSend, 3, 3}},     {"query", {Verb::kQuery, 3, 3}},
      {"ready", {Verb::kReady, 0, 0}},   {"stats", {Verb::kStats, 0, 0}},
  };
  return verbs;
}

[[nodiscard]] bool AsksForHelp(const std::vector<std::string>& arguments) {
  return std::ranges::any_of(arguments, [](const std::string& a) { return a == "--help"; }) ||
         (!arguments.empty() && (arguments[0] == "help" || arguments[0] == "-h"));
}

template <typename T>
[[nodiscard]] std::optional<T> ReadNumber(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

[[nodiscard]] bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return tolower(x) == tolower(y); });
}

// A name from the identity table (any case) or the number of one: a number
// without a name has no channel, so nothing can be sent to it or heard on it.
[[nodiscard]] std::optional<ipc::ModuleId> ReadModule(const std::string& text) {
  const auto number = ReadNumber<std::int32_t>(text);
  for (const ipc::ModuleId module : ipc::NamedModules()) {
    if (number ? static_cast<std::int32_t>(module) == *number
               : SameName(ipc::ModuleName(module), text)) {
      return module;
    }
  }
  return std::nullopt;
}

[[nodiscard]] std::optional<json> ReadJson(const std::string& text) {
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

class Parser {
 public:
  Parser(const std::vector<std::string>& arguments, std::string& error)
      : arguments_(arguments), error_(error) {}

  std::optional<BusCommand> Parse() {
    if (arguments_.empty()) return Fail("no command given");
    if (AsksForHelp(arguments_)) {
      command_.verb = Verb::kHelp;
      return command_;
    }
    const auto verb = Verbs().find(arguments_[0]);
    if (verb == Verbs().end()) return Fail(fmt::format("unknown command \"{}\"", arguments_[0]));
    command_.verb = verb->second.verb;
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < arguments_.size(); ++i) {
      const std::string& argument = arguments_[i];
      if (!argument.starts_with("--")) {
        positional.push_back(argument);
        continue;
      }
      std::string name = argument.substr(2);
      std::optional<std::string> value;
      if (const std::size_t equals = name.find('='); equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
      }
      if (!TakesValue(name)) {
        if (value || !Flag(name)) {
          if (error_.empty()) error_ = fmt::format("unknown option {}", argument);
          return std::nullopt;
        }
        continue;
      }
      if (!value) {
        if (i + 1 == arguments_.size()) return Fail(fmt::format("--{} needs a value", name));
        value = arguments_[++i];
      }
      if (!Option(name, *value)) return std::nullopt;
    }
    const VerbShape& shape = verb->second;
    if (positional.size() < shape.fewest || positional.size() > shape.most) {
      return Fail(
          fmt::format("{} takes {} argument(s), {} given", verb->first,
                      shape.most == kAnyNumber ? "any number of" : std::to_string(shape.most),
                      positional.size()));
    }
    if (!Positional(positional)) return std::nullopt;
    return command_;
  }

 private:
  std::nullopt_t Fail(std::string why) {
    error_ = std::move(why);
    return std::nullopt;
  }

  bool Reject(std::string why) {
    error_ = std::move(why);
    return false;
  }

  bool Allowed(std::initializer_list<Verb> verbs) const {
    return std::ranges::find(verbs, command_.verb) != verbs.end();
  }

  bool TakesValue(const std::string& name) const {
    if (name == "hold" || name == "answer" || name == "idle-ms") return Allowed({Verb::kListen});
    if (name == "count") return Allowed({Verb::kListen, Verb::kMonitor});
    if (name == "pid") return Allowed({Verb::kMonitor});
    if (name == "from") return Allowed({Verb::kSend});
    if (name == "timeout-ms") return Allowed({Verb::kQuery});
    return false;
  }

  bool Flag(const std::string& name) {
    if (!Allowed({Verb::kSend}) || (name != "local" && name != "global")) return false;
    if (command_.global && *command_.global != (name == "global")) {
      return Reject("--local and --global exclude each other");
    }
    command_.global = name == "global";
    return true;
  }

  bool Option(const std::string& name, const std::string& value) {
    if (name == "hold") {
      if (value.empty()) return Reject("--hold needs a mutex name");
      command_.holds.push_back(value);
    } else if (name == "answer") {
      const std::size_t equals = value.find('=');
      const auto query_id = ReadNumber<std::int32_t>(value.substr(0, equals));
      const auto answer =
          equals == std::string::npos ? std::nullopt : ReadJson(value.substr(equals + 1));
      if (!query_id || !answer) return Reject("--answer wants QUERY_ID=JSON");
      command_.answers.push_back({*query_id, *answer});
    } else if (name == "count") {
      command_.count = ReadNumber<std::uint64_t>(value);
      if (!command_.count || *command_.count == 0) return Reject("--count wants a number above 0");
    } else if (name == "pid") {
      command_.pid = ReadNumber<std::uint64_t>(value);
      if (!command_.pid) return Reject("--pid wants a process id");
    } else if (name == "idle-ms") {
      command_.idle_ms = ReadNumber<DWORD>(value);
      if (!command_.idle_ms) return Reject("--idle-ms wants milliseconds");
    } else if (name == "timeout-ms") {
      const auto timeout = ReadNumber<DWORD>(value);
      if (!timeout) return Reject("--timeout-ms wants milliseconds");
      command_.timeout_ms = *timeout;
    } else if (name == "from") {
      const auto from = ReadModule(value);
      if (!from) return Reject(fmt::format("unknown module \"{}\"", value));
      command_.from = *from;
    }
    return true;
  }

  bool Positional(const std::vector<std::string>& positional) {
    if (positional.empty()) return true;
    // Every argument of a monitor names a module; the others name one first.
    const std::size_t modules = command_.verb == Verb::kMonitor ? positional.size() : 1;
    for (std::size_t i = 0; i < modules; ++i) {
      const auto module = ReadModule(positional[i]);
      if (!module) return Reject(fmt::format("unknown module \"{}\"", positional[i]));
      // A module named twice (by name and by number, say) would be watched
      // twice: each message shown twice, two receiver places taken.
      if (std::ranges::find(command_.watched, *module) == command_.watched.end()) {
        command_.watched.push_back(*module);
      }
    }
    command_.module = command_.watched.front();
    if (command_.verb != Verb::kMonitor) command_.watched.clear();
    if (command_.verb != Verb::kSend && command_.verb != Verb::kQuery) return true;
    const auto number = ReadNumber<std::int32_t>(positional[1]);
    if (!number) return Reject(fmt::format("\"{}\" is not a 32-bit number", positional[1]));
    command_.number = *number;
    const auto data = ReadJson(positional[2]);
    if (!data) return Reject("DATA_JSON is not JSON");
    command_.data = *data;
    return true;
  }

  const std::vector<std::string>& arguments_;
  std::string& error_;
  BusCommand command_;
};

}  // namespace

std::optional<BusCommand> ParseBusCommand(const std::vector<std::string>& arguments,
                                          std::string& error) {
  return Parser(arguments, error).Parse();
}

const char kUsage[] =
    "usage:\n"
    "  KestovaIpc monitor [MODULE]... [--count N] [--pid P]\n"
    "      watch the channels of MODULE (every module when none is named), global and\n"
    "      local, without becoming the module: one line per message, tab-separated:\n"
    "      time, channel, the text as received (control bytes and bytes that are not\n"
    "      UTF-8 as \\xNN), and why the module's endpoint would drop it; drops for\n"
    "      another process or its own are judged as process P, if given\n"
    "  KestovaIpc listen MODULE [--hold NAME]... [--answer QUERY_ID=JSON]... [--count N]\n"
    "                    [--idle-ms T]\n"
    "      receive as MODULE (holding its inited marker, so the launcher hands its\n"
    "      requests to us) and print each packet that passes its filters as one JSON\n"
    "      line; \"ready\" first\n"
    "  KestovaIpc send MODULE MSG_ID DATA_JSON [--from MODULE] [--local|--global]\n"
    "      send one packet (from LaunchAgent unless --from) and print its unique_id;\n"
    "      exit 1 when not placed\n"
    "  KestovaIpc query MODULE QUERY_ID DATA_JSON [--timeout-ms T]\n"
    "      ask a query and print the answer (default wait 5000 ms)\n"
    "  KestovaIpc ready    each module's inited marker and channel receivers\n"
    "  KestovaIpc stats    this user's stored IPC statistics\n"
    "  KestovaIpc help     this text\n"
    "MODULE is a name (EmulatorClient) or a number (10002).\n"
    "Listen and monitor end on Ctrl+C, after --count lines, or when their output\n"
    "is closed (at the next line they cannot write).\n"
    "Exit codes: 0 done, 1 refused (not sent, not ready, no answer, cannot receive),\n"
    "2 bad usage.\n";

}  // namespace bus
