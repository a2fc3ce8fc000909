#include "launch_options.h"

#include <string>

void RegisterOptions(cmdline::parser& parser, std::span<const OptionDef> options) {
  for (const OptionDef& definition : options) {
    switch (definition.type) {
      case OptionType::kString: parser.add<std::wstring>(definition.name, 0, L"", true, L""); break;
      case OptionType::kInt: parser.add<int>(definition.name, 0, L"", true, 0); break;
      case OptionType::kBool: parser.add<bool>(definition.name, 0, L"", true, false); break;
      case OptionType::kFlag: parser.add_flag(definition.name, 0, L""); break;
    }
  }
}

void ParseArguments(cmdline::parser& parser, const cmdline::Arguments& arguments) {
  if (arguments.count() > 0) parser.parse(arguments.count(), arguments.vector());
}
