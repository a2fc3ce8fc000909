#include "launch_options.h"

#include <string>

namespace {

// False only for a name the parser holds already.
[[nodiscard]] bool Register(cmdline::parser& parser, const OptionDef& definition) {
  switch (definition.type) {
    case OptionType::kString: return parser.add<std::wstring>(definition.name, 0, L"", true, L"");
    case OptionType::kInt: return parser.add<int>(definition.name, 0, L"", true, 0);
    case OptionType::kBool: return parser.add<bool>(definition.name, 0, L"", true, false);
    case OptionType::kFlag: return parser.add_flag(definition.name, 0, L"");
  }
  return false;
}

}  // namespace

cmdline::parser ReadOptions(std::span<const OptionDef> options, cmdline::ArgumentList arguments) {
  cmdline::parser parser;
  for (const OptionDef& definition : options) {
    // Each table names an option once, so a fresh parser refuses none.
    static_cast<void>(Register(parser, definition));
  }
  // False whenever the command line also carries another parser's options.
  static_cast<void>(parser.parse(static_cast<int>(arguments.size()), arguments.data()));
  return parser;
}

cmdline::parser LaunchOptions(cmdline::ArgumentList arguments) {
  return ReadOptions(kLauncherOptions, arguments);
}

cmdline::parser ShortcutOptions(cmdline::ArgumentList arguments) {
  return ReadOptions(kShortcutOptions, arguments);
}
