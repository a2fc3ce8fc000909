#include "launch_options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each option table registered on its own parser, parsed from one command
// line the way the launcher's parsers all read the process's command line.
struct Parsers {
  explicit Parsers(const std::wstring& command_line) {
    RegisterOptions(launcher, kLauncherOptions);
    RegisterOptions(shortcut, kShortcutOptions);
    RegisterOptions(dispatch, kDispatchOptions);
    const auto arguments = cmdline::Arguments::Split(command_line.c_str());
    ParseArguments(launcher, arguments);
    ParseArguments(shortcut, arguments);
    ParseArguments(dispatch, arguments);
  }
  cmdline::parser launcher;
  cmdline::parser shortcut;
  cmdline::parser dispatch;
};

TEST(LaunchOptionsTest, FromIsANumberForLaunchesAndTextForShortcuts) {
  Parsers parsers(L"KestovaLauncher.exe --from 7");
  EXPECT_EQ(parsers.launcher.get<int>(option::kFrom), 7);
  EXPECT_EQ(parsers.shortcut.get<std::wstring>(option::kFrom), L"7");
}

TEST(LaunchOptionsTest, QuitTakesOnlyZeroOrOne) {
  struct Case {
    const wchar_t* command_line;
    bool given;
    bool value;
  };
  for (const Case& c : {Case{L"x --quit 1", true, true}, Case{L"x --quit=0", true, false},
                        Case{L"x --quit true", false, false}, Case{L"x", false, false}}) {
    Parsers parsers(c.command_line);
    EXPECT_EQ(parsers.launcher.is_given(option::kQuit), c.given) << c.command_line;
    EXPECT_EQ(parsers.launcher.get<bool>(option::kQuit), c.value) << c.command_line;
  }
}

TEST(LaunchOptionsTest, AnEmptyValueCountsAsGiven) {
  Parsers parsers(LR"(x --launch-pkg-name "" --oem-stop-vm=)");
  EXPECT_TRUE(parsers.launcher.is_given(option::kLaunchPkgName));
  EXPECT_EQ(parsers.launcher.get<std::wstring>(option::kLaunchPkgName), L"");
  EXPECT_TRUE(parsers.launcher.is_given(option::kOemStopVm));
  EXPECT_FALSE(parsers.launcher.is_given(option::kLaunchDeepLink));
}

TEST(LaunchOptionsTest, ParsersIgnoreEachOthersOptions) {
  Parsers parsers(L"x --pseudo-protocol kestova://a --launch-pkg-name com.a --silent");
  EXPECT_EQ(parsers.dispatch.get<std::wstring>(option::kPseudoProtocol), L"kestova://a");
  EXPECT_EQ(parsers.shortcut.get<std::wstring>(option::kPseudoProtocol), L"kestova://a");
  EXPECT_TRUE(parsers.shortcut.is_given(option::kSilent));
  EXPECT_EQ(parsers.launcher.get<std::wstring>(option::kLaunchPkgName), L"com.a");
  EXPECT_FALSE(parsers.dispatch.is_given(option::kLaunchPkgName));
  const auto& errors = parsers.launcher.errors();
  EXPECT_NE(std::find(errors.begin(), errors.end(), L"undefined option: --pseudo-protocol"),
            errors.end());
}

TEST(LaunchOptionsTest, EveryLauncherOptionIsRequiredWithAnEmptyDefault) {
  Parsers parsers(L"x");
  EXPECT_EQ(parsers.launcher.errors().size(), kLauncherOptions.size());
  EXPECT_EQ(parsers.launcher.get<int>(option::kFrom), 0);
  EXPECT_EQ(parsers.launcher.get<std::wstring>(option::kInstallAppInfo), L"");
}

}  // namespace
