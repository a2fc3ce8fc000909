// Runs the real KestovaLauncher.exe as a partner or a shortcut would.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "sample_install.h"
#include "test_support.h"

namespace {

constexpr char kRule[] = "=================================================================";
constexpr char kStamp[] = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

std::string ToAnsi(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
  result.pop_back();
  return result;
}

class LauncherRunTest : public testing::Test {
 protected:
  std::filesystem::path Launcher() const {
    return test_support::BinaryDir() / "KestovaLauncher.exe";
  }
  std::wstring QuotedLauncher() const { return L"\"" + Launcher().wstring() + L"\""; }

  DWORD Run(const std::wstring& command_line) {
    const auto process = test_support::StartProcess(
        Launcher(), command_line,
        {.environment = {{L"TMP", temp_.path().wstring()}, {L"TEMP", temp_.path().wstring()}}});
    return test_support::WaitForExitCode(process);
  }

  std::vector<std::string> LogLines() const {
    return test_support::SplitLines(
        test_support::ReadFileBytes(temp_.path() / "Velmora" / "Kestova" / "launcher.log"));
  }

  // The frame one run leaves: two empty lines, the rule, the start line, the
  // command-line record, the records of the dispatch, the end line and the rule.
  static void ExpectRunFrame(const std::vector<std::string>& lines, size_t first,
                             const std::string& command_line,
                             const std::vector<std::string>& dispatch_records = {}) {
    ASSERT_GE(lines.size(), first + 7 + dispatch_records.size());
    EXPECT_EQ(lines[first], "");
    EXPECT_EQ(lines[first + 1], "");
    EXPECT_EQ(lines[first + 2], kRule);
    EXPECT_TRUE(std::regex_match(lines[first + 3], std::regex(std::string(kStamp) + " log start")));
    const std::string record_prefix_pattern =
        std::string(kStamp) + R"(\[\d+\.\d+\]\[Initialize\]: \[Cmd\]:)";
    std::smatch prefix;
    ASSERT_TRUE(
        std::regex_search(lines[first + 4], prefix, std::regex("^" + record_prefix_pattern)))
        << lines[first + 4];
    EXPECT_EQ(lines[first + 4].substr(prefix.length()), command_line);
    for (size_t i = 0; i < dispatch_records.size(); ++i) {
      EXPECT_TRUE(std::regex_match(
          lines[first + 5 + i],
          std::regex(std::string(kStamp) + R"(\[\d+\.\d+\])" + dispatch_records[i])))
          << lines[first + 5 + i];
    }
    first += dispatch_records.size();
    EXPECT_TRUE(std::regex_match(lines[first + 5], std::regex(std::string(kStamp) + " log end")));
    EXPECT_EQ(lines[first + 6], kRule);
  }

  test_support::TempDir temp_;
  // What the runs start comes from here; a stand-in records nothing unless
  // asked to.
  launcher_test::SampleInstall install_;
};

TEST_F(LauncherRunTest, LogsTheCommandLineAsGivenAndAppendsEachRun) {
  const std::wstring command_line =
      QuotedLauncher() +
      LR"( --launch-proc-name KestovaSvr.exe --launch-pkg-name "com.example app" --launch-deep-link=caf)"
      L"\u00e9" +
      LR"( "{\"pkg_name\":\"x\"}" {} --from 3)";
  ASSERT_EQ(Run(command_line), 0u);
  ASSERT_EQ(Run(QuotedLauncher()), 0u);
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 15u);
  ExpectRunFrame(lines, 0, ToAnsi(command_line));
  ExpectRunFrame(lines, 7, ToAnsi(QuotedLauncher()), {R"(\[LaunchTarget\]: \[error\] argc < 2)"});
}

TEST_F(LauncherRunTest, CarriesOutTheRequestWhenTheLogFolderCannotBeMade) {
  // A read-only file named like the vendor folder makes the log folder
  // impossible to create.
  const auto blocker = install_.temp() / "Velmora";
  { std::ofstream(blocker) << "x"; }
  SetFileAttributesW(blocker.c_str(), FILE_ATTRIBUTE_READONLY);
  install_.Run(L"--launch-proc-name KestovaSvr.exe --from 1");
  SetFileAttributesW(blocker.c_str(), FILE_ATTRIBUTE_NORMAL);
  const auto start = install_.WaitForStart();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->first, L"KestovaSvr.exe");
}

TEST_F(LauncherRunTest, AsksForNoElevation) {
  base::LoadedModule image(LoadLibraryExW(
      Launcher().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(image);
  HRSRC manifest = FindResourceW(image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(image.get(), manifest)));
  const std::string manifest_text(text, SizeofResource(image.get(), manifest));
  EXPECT_NE(manifest_text.find(R"(requestedExecutionLevel level="asInvoker")"), std::string::npos);
}

}  // namespace
