#pragma once

#include <array>
#include <span>

#include "cmdline/arguments.h"
#include "cmdline/parser.h"
#include "launcher/option_names.h"

enum class OptionType { kString, kInt, kBool, kFlag };

struct OptionDef {
  const wchar_t* name;
  OptionType type;
};

// Read by the forwarding of requests to the emulator client.
inline constexpr std::array kLauncherOptions{
    OptionDef{option::kLaunchPkgName, OptionType::kString},
    OptionDef{option::kAppLaunchInfo, OptionType::kString},
    OptionDef{option::kFrom, OptionType::kInt},
    OptionDef{option::kLaunchDeepLink, OptionType::kString},
    OptionDef{option::kLaunchExtraData, OptionType::kString},
    OptionDef{option::kFromSource, OptionType::kString},
    OptionDef{option::kInstallAppInfo, OptionType::kString},
    OptionDef{option::kQuit, OptionType::kBool},
    OptionDef{option::kOem, OptionType::kString},
    OptionDef{option::kOemStartVm, OptionType::kString},
    OptionDef{option::kOemStopVm, OptionType::kString},
    OptionDef{option::kInstallPkgName, OptionType::kString},
    OptionDef{option::kInstallFilePath, OptionType::kString},
    OptionDef{option::kLaunchTvSeries, OptionType::kString},
};

// What the dispatch decides on.
inline constexpr std::array kDispatchOptions{
    OptionDef{option::kLocalInstall, OptionType::kString},
    OptionDef{option::kPseudoProtocol, OptionType::kString},
    OptionDef{option::kContextMenuSearch, OptionType::kString},
};

// Shortcut launches read "from" as text, not as the number above.
inline constexpr std::array kShortcutOptions{
    OptionDef{option::kPseudoProtocol, OptionType::kString},
    OptionDef{option::kFrom, OptionType::kString},
    OptionDef{option::kSilent, OptionType::kFlag},
};

inline constexpr std::array kOemStopOptions{
    OptionDef{option::kOemStopVm, OptionType::kString},
};

// A fresh parser of the options, registered by long name only and without
// description, with the arguments parsed. Every value option is required
// (empty, 0 or false by default), so the parse reports the absent ones; it
// also reports the options of the other parsers, which it does not know. No
// caller reads the result or the errors, only presence and values.
cmdline::parser ReadOptions(std::span<const OptionDef> options, cmdline::ArgumentList arguments);

// What a request handed to the running emulator client is built from.
cmdline::parser LaunchOptions(cmdline::ArgumentList arguments);

// What a shortcut launch of the store carries.
cmdline::parser ShortcutOptions(cmdline::ArgumentList arguments);
