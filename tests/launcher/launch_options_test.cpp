#include "launch_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "system/text.h"
#include "test_support.h"

namespace {

enum class Kind { kText, kNumber, kSwitch };

// The launcher's options as partners, shortcuts and the product's processes
// pass them, with a value for each and what the launcher must read from it.
struct LauncherOption {
  const wchar_t* name;
  Kind kind;
  const wchar_t* argument;
  const char* read;
};
const LauncherOption kLauncherOptions[] = {
    {L"launch-pkg-name", Kind::kText, L"com.a", "com.a"},
    {L"app-launch-info", Kind::kText, L"{}", "{}"},
    {L"from", Kind::kNumber, L"-7", "-7"},
    {L"launch-deep-link", Kind::kText, L"caf\u00e9", "caf\xC3\xA9"},
    {L"launch-extra-data", Kind::kText, L"\"a b\"", "a b"},
    {L"from-source", Kind::kText, L"desktop", "desktop"},
    {L"install-app-info", Kind::kText, L"[]", "[]"},
    {L"quit", Kind::kSwitch, L"1", "1"},
    {L"oem", Kind::kText, L"acme", "acme"},
    {L"oem-start-vm", Kind::kText, L"start", "start"},
    {L"oem-stop-vm", Kind::kText, L"stop", "stop"},
    {L"install-pkg-name", Kind::kText, L"com.b", "com.b"},
    {L"install-file-path", Kind::kText, L"\"C:\\a b.apk\"", "C:\\a b.apk"},
    {L"launch-tv-series", Kind::kText, L"tv", "tv"},
};

// Prints "name=value" for each launcher option that is given or away from its
// empty default ("?" when it cannot be read as its kind), as LaunchOptions()
// reads this process's own command line.
int PrintLaunchOptions(int, wchar_t**) {
  LaunchOptions();
  const cmdline::parser& options = LaunchOptions();  // parses again, the same way
  for (const LauncherOption& option : kLauncherOptions) {
    std::string value = "?";
    bool is_default = false;
    if (option.kind == Kind::kText) {
      if (const auto text = options.get<std::wstring>(option.name)) {
        value = WideToUtf8(*text);
        is_default = text->empty();
      }
    } else if (option.kind == Kind::kNumber) {
      if (const auto number = options.get<int>(option.name)) {
        value = std::to_string(*number);
        is_default = *number == 0;
      }
    } else if (const auto flag = options.get<bool>(option.name)) {
      value = *flag ? "1" : "0";
      is_default = !*flag;
    }
    if (options.is_given(option.name) || !is_default) {
      std::printf("%s=%s\n", WideToUtf8(option.name).c_str(), value.c_str());
    }
  }
  return 0;
}
const test_support::ChildRole kPrintLaunchOptions(L"launch-options", PrintLaunchOptions);

std::string LaunchOptionsOf(const std::wstring& arguments) {
  test_support::TempDir temp;
  const auto output = temp.path() / "options.txt";
  const auto self = test_support::OwnExecutable();
  const auto child = test_support::StartProcess(
      self, L"\"" + self.wstring() + L"\" --child launch-options " + arguments,
      {.stdout_file = output});
  EXPECT_EQ(test_support::WaitForExitCode(child), 0u) << arguments;
  std::string text = test_support::ReadFileBytes(output);
  std::erase(text, '\r');  // the child's standard output is in text mode
  return text;
}

TEST(LaunchOptionsTest, ReadsEveryOptionOfTheProcessCommandLine) {
  std::wstring arguments;
  std::string expected;
  for (const LauncherOption& option : kLauncherOptions) {
    arguments += std::wstring(L" --") + option.name + L" " + option.argument;
    expected += WideToUtf8(option.name) + "=" + option.read + "\n";
  }
  EXPECT_EQ(LaunchOptionsOf(arguments), expected);
}

TEST(LaunchOptionsTest, OptionsNotGivenOrNotReadableKeepTheirEmptyDefaults) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"", ""},
      {L"--quit true --from seven", ""},
      {L"--quit=0 --launch-pkg-name \"\"", "launch-pkg-name=\nquit=0\n"},
      {L"--pseudo-protocol kestova://a --silent --launch-pkg-name=com.b",
       "launch-pkg-name=com.b\n"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(LaunchOptionsOf(arguments), expected) << arguments;
  }
}

TEST(OtherParsersTest, ShortcutsReadFromAsTextAndEachParserReadsOnlyItsOwnOptions) {
  cmdline::parser shortcut;
  cmdline::parser dispatch;
  RegisterOptions(shortcut, kShortcutOptions);
  RegisterOptions(dispatch, kDispatchOptions);
  const auto arguments = cmdline::Arguments::Split(
      L"x --from 7 --pseudo-protocol kestova://a --silent --local-install f.apk "
      L"--context-menu-search q --launch-pkg-name com.a");
  ParseArguments(shortcut, arguments);
  ParseArguments(dispatch, arguments);
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

}  // namespace
