#include "launch_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "oem_vm.h"
#include "system/text.h"

namespace {

// A command line as the launcher's entry splits it: the program path first.
std::vector<const wchar_t*> CommandLine(std::initializer_list<const wchar_t*> arguments) {
  std::vector<const wchar_t*> line{L"C:\\Kestova\\KestovaLauncher.exe"};
  line.insert(line.end(), arguments);
  return line;
}

enum class Kind { kText, kNumber, kSwitch };

// The launcher's options as partners, shortcuts and the product's processes
// pass them, with a value for each and what the launcher must read from it.
struct LauncherOption {
  const wchar_t* name;
  Kind kind;
  const wchar_t* argument;
  const char* read;
};
const LauncherOption kEveryLauncherOption[] = {
    {L"launch-pkg-name", Kind::kText, L"com.a", "com.a"},
    {L"app-launch-info", Kind::kText, L"{}", "{}"},
    {L"from", Kind::kNumber, L"-7", "-7"},
    {L"launch-deep-link", Kind::kText, L"caf\u00e9", "caf\xC3\xA9"},
    {L"launch-extra-data", Kind::kText, L"a b", "a b"},
    {L"from-source", Kind::kText, L"desktop", "desktop"},
    {L"install-app-info", Kind::kText, L"[]", "[]"},
    {L"quit", Kind::kSwitch, L"1", "1"},
    {L"oem", Kind::kText, L"acme", "acme"},
    {L"oem-start-vm", Kind::kText, L"start", "start"},
    {L"oem-stop-vm", Kind::kText, L"stop", "stop"},
    {L"install-pkg-name", Kind::kText, L"com.b", "com.b"},
    {L"install-file-path", Kind::kText, L"C:\\a b.apk", "C:\\a b.apk"},
    {L"launch-tv-series", Kind::kText, L"tv", "tv"},
};

// "name=value" for each launcher option that is given or away from its empty
// default ("?" when it cannot be read as its kind).
std::string Described(const cmdline::parser& options) {
  std::string text;
  for (const LauncherOption& option : kEveryLauncherOption) {
    std::string value = "?";
    bool is_default = false;
    if (option.kind == Kind::kText) {
      if (const auto read = options.get<std::wstring>(option.name)) {
        value = WideToUtf8(*read);
        is_default = read->empty();
      }
    } else if (option.kind == Kind::kNumber) {
      if (const auto number = options.get<int>(option.name)) {
        value = std::to_string(*number);
        is_default = *number == 0;
      }
    } else if (const auto flag = options.get<bool>(option.name)) {
      value = std::to_string(static_cast<int>(*flag));
      is_default = !*flag;
    }
    if (options.is_given(option.name) || !is_default) {
      text += WideToUtf8(option.name) + "=" + value + "\n";
    }
  }
  return text;
}

TEST(LaunchOptionsTest, ReadsEveryOptionAndLeavesTheRestAtTheirEmptyDefaults) {
  // Each "--name" stays where it was made: the line points into them.
  std::vector<std::wstring> names;
  names.reserve(std::size(kEveryLauncherOption));
  std::vector<const wchar_t*> every = CommandLine({});
  std::string read;
  for (const LauncherOption& option : kEveryLauncherOption) {
    names.push_back(std::wstring(L"--") + option.name);
    every.insert(every.end(), {names.back().c_str(), option.argument});
    read += WideToUtf8(option.name) + "=" + option.read + "\n";
  }

  const std::pair<std::vector<const wchar_t*>, std::string> cases[] = {
      {every, read},
      {CommandLine({}), ""},
      {CommandLine({L"--quit", L"true", L"--from", L"seven"}), ""},
      {CommandLine({L"--quit=0", L"--launch-pkg-name", L""}), "launch-pkg-name=\nquit=0\n"},
      {CommandLine({L"--pseudo-protocol", L"kestova://a", L"--silent", L"--launch-pkg-name=com.b"}),
       "launch-pkg-name=com.b\n"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(Described(LaunchOptions(arguments)), expected) << testing::PrintToString(arguments);
  }
}

TEST(OtherParsersTest, ShortcutsReadFromAsTextAndEachParserReadsOnlyItsOwnOptions) {
  const auto arguments = CommandLine(
      {L"--from", L"7", L"--pseudo-protocol", L"kestova://a", L"--silent", L"--local-install",
       L"f.apk", L"--context-menu-search", L"q", L"--launch-pkg-name", L"com.a"});
  const cmdline::parser shortcut = ShortcutOptions(arguments);
  const cmdline::parser dispatch = ReadOptions(kDispatchOptions, arguments);
  EXPECT_EQ(shortcut.get<std::wstring>(L"from"), L"7");
  EXPECT_EQ(shortcut.get<std::wstring>(L"pseudo-protocol"), L"kestova://a");
  EXPECT_TRUE(shortcut.is_given(L"silent"));
  EXPECT_EQ(dispatch.get<std::wstring>(L"pseudo-protocol"), L"kestova://a");
  EXPECT_EQ(dispatch.get<std::wstring>(L"local-install"), L"f.apk");
  EXPECT_EQ(dispatch.get<std::wstring>(L"context-menu-search"), L"q");
  EXPECT_FALSE(dispatch.is_given(L"launch-pkg-name"));
  const auto& errors = dispatch.errors();
  EXPECT_NE(std::find(errors.begin(), errors.end(), L"undefined option: --launch-pkg-name"),
            errors.end());
}

TEST(OtherParsersTest, OnlyANonEmptyVmStopValueIsAStopRequest) {
  const std::pair<std::vector<const wchar_t*>, bool> cases[] = {
      {CommandLine({L"--oem-stop-vm", L"{bad"}), true},
      {CommandLine({L"--launch-pkg-name", L"p", L"--oem-stop-vm={\"oem_name\":\"a\"}"}), true},
      {CommandLine({L"--oem-stop-vm", L""}), false},
      {CommandLine({L"--oem-stop-vm="}), false},
      {CommandLine({L"--oem-stop-vm"}), false},
      {CommandLine({L"--oem-start-vm", L"x"}), false},
  };
  for (const auto& [arguments, asks] : cases) {
    EXPECT_EQ(HasOemStopVmRequest(arguments), asks) << testing::PrintToString(arguments);
  }
}

}  // namespace
