#include "launch_request.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "launch_options.h"
#include "system/text.h"

namespace {

struct Row {
  std::vector<const wchar_t*> arguments;  // after the program path
  bool silent_marked = false;
  std::optional<std::wstring> link = {};
  // Only without a link: whom to notify, what starts and with which parameters.
  std::wstring notified = {};
  std::wstring started = {};
  std::wstring forwarded = {};
};

TEST(LaunchRequestTest, ReadsTheLinkTheClientAndTheForwardedLineFromTheArgumentsAlone) {
  const Row rows[] = {
      {{L"kestova://app/x", L"--from", L"3"},
       false,
       {},
       L"",
       L"",
       L"\"kestova://app/x\" --from \"3\" "},
      // Given, though empty, a search is what is asked for.
      {{L"--context-menu-search="},
       false,
       L"kestova://client/"
       L"gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%26from%3Dclient"},
      {{L"--launch-proc-name=x", L"Kestova.exe", L"--launch-proc-name", L"KestovaStore.exe",
        L"a\\b"},
       false,
       {},
       L"Kestova.exe",
       L"KestovaStore.exe",
       L"\"a\\\\b\" "},
      {{L"--from", L"3", L"--launch-proc-name"}, false, {}, L"", L"", L"--from \"3\" "},
      {{L"--pseudo-protocol", L"kestova://client/launchWithShortcut?p",
        L"kestova://client/launchWithShortcut", L"Kestova://client/launchWithShortcut"},
       true,
       {},
       L"",
       L"",
       L"--pseudo-protocol \"kestova://client/launchWithShortcut?p&silent=1\" "
       L"\"kestova://client/launchWithShortcut&silent=1\" \"Kestova://client/launchWithShortcut\"  "
       L"--silent \"1\" "},
      {{L"--pseudo-protocol", L"kestova://client/launchWithShortcut?p"},
       false,
       {},
       L"",
       L"",
       L"--pseudo-protocol \"kestova://client/launchWithShortcut?p\" "},
      {{L"--pseudo-protocol=kestova://client/launchWithShortcut?p", L"--pseudo-protocol=x y"},
       true,
       {},
       L"",
       L"",
       L"--pseudo-protocol=kestova://client/launchWithShortcut?p \"--pseudo-protocol=x y\" "},
  };
  for (const Row& row : rows) {
    std::vector<const wchar_t*> arguments{L"C:\\Kestova\\KestovaLauncher.exe"};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    SCOPED_TRACE(testing::PrintToString(arguments));
    const cmdline::parser dispatch = ReadOptions(kDispatchOptions, arguments);
    EXPECT_EQ(LinkToOpen(arguments, dispatch), row.link);
    if (row.link) continue;
    std::wstring name = FirstExecutableName(arguments);
    EXPECT_EQ(name, row.notified);
    const auto marked = row.silent_marked ? +[] { return true; } : +[] { return false; };
    EXPECT_EQ(ForwardedArguments(arguments, dispatch, name, marked), row.forwarded);
    EXPECT_EQ(name, row.started);
  }
}

}  // namespace
