// Crash reporting as the real launcher does it at start-up, with a stand-in
// client_extension.dll that records every call its agent gets.
#include <gtest/gtest.h>

#include "install/registry.h"
#include "sample_install.h"
#include "stand_in_process.h"
#include "system/quoting.h"
#include "system/text.h"

namespace launcher_test {
namespace {

constexpr wchar_t kEnvKey[] = L"SOFTWARE\\Velmora\\Kestova\\Env";
constexpr wchar_t kIfeoKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
    L"Options\\KestovaLauncher.exe";

enum class Library { kNone, kAgent, kNoFactory, kNullFactory };

struct Row {
  const char* title;
  // What the version folder and the folder of the running launcher hold.
  Library version_library = Library::kNone;
  bool version_handler = false;
  Library own_library = Library::kNone;
  bool own_handler = false;
  // The registry's svid values; nullptr: none.
  const wchar_t* machine_svid = nullptr;
  const wchar_t* user_svid = nullptr;
  // What QueryPathBuffer hands back; empty: it answers 1.
  std::wstring agent_path = {};
  // Which handler Init is given; none: no agent call at all.
  enum { kNoAgent, kVersionHandler, kOwnHandler } handler = kNoAgent;
  std::string account = {};
  // The folders whose factory was called, in order: "version" or "launcher".
  std::vector<std::string> factories = {};
};

std::vector<Row> Rows() {
  return {
      {.title = "agent and handler in the version folder, which comes first; the user's svid "
                "stands in for the machine's placeholder",
       .version_library = Library::kAgent,
       .version_handler = true,
       .own_library = Library::kAgent,
       .machine_svid = L"DEFAULT_VALUE",
       .user_svid = L"user-7",
       .agent_path = L"C:\\dumps\\reports",
       .handler = Row::kVersionHandler,
       .account = "user-7",
       .factories = {"version"}},
      {.title = "agent and handler only beside the launcher; the machine's svid wins",
       .own_library = Library::kAgent,
       .own_handler = true,
       .machine_svid = L"machine-1",
       .user_svid = L"user-7",
       .handler = Row::kOwnHandler,
       .account = "machine-1",
       .factories = {"launcher"}},
      {.title = "a library without the factory makes the launcher's own folder count; no svid",
       .version_library = Library::kNoFactory,
       .version_handler = true,
       .own_library = Library::kAgent,
       .handler = Row::kVersionHandler,
       .account = "",
       .factories = {"launcher"}},
      {.title = "a factory that makes no agent makes the launcher's own folder count",
       .version_library = Library::kNullFactory,
       .version_handler = true,
       .own_library = Library::kAgent,
       .handler = Row::kVersionHandler,
       .factories = {"version", "launcher"}},
      {.title = "no library anywhere", .version_handler = true, .own_handler = true},
      {.title = "no handler anywhere",
       .version_library = Library::kAgent,
       .own_library = Library::kAgent},
  };
}

void Place(Library library, bool handler, const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const auto binaries = test_support::BinaryDir();
  if (library != Library::kNone) {
    const wchar_t* built = library == Library::kAgent       ? L"stand_in_client_extension.dll"
                           : library == Library::kNoFactory ? L"stand_in_no_factory.dll"
                                                            : L"stand_in_null_factory.dll";
    std::filesystem::copy_file(binaries / built, folder / L"client_extension.dll");
  }
  if (handler) test_support::CopyStandIn(folder, L"crashpad_handler.exe");
}

class CrashReportingTest : public testing::Test {
 protected:
  CrashReportingTest() {
    install_.registry().SetString(HKEY_CURRENT_USER, SampleInstall::kProductKey, L"Version",
                                  L"7.7.7.7");
    std::filesystem::create_directories(own_folder_);
    std::filesystem::copy_file(test_support::BinaryDir() / L"KestovaLauncher.exe", launcher_);
  }

  SampleInstall install_;
  test_support::TempDir scratch_;
  const std::filesystem::path own_folder_ = scratch_.path() / "launcher";
  const std::filesystem::path launcher_ = own_folder_ / "KestovaLauncher.exe";
  const std::filesystem::path calls_ = scratch_.path() / "calls.txt";
};

TEST_F(CrashReportingTest, FindsConfiguresAndRegistersTheAgent) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.title);
    const std::wstring version = test_support::UniqueName(L"9.1");
    install_.SetVersion(version);
    Place(row.version_library, row.version_handler, install_.VersionDir(version));
    std::filesystem::remove_all(own_folder_ / L"client_extension.dll");
    std::filesystem::remove_all(own_folder_ / L"crashpad_handler.exe");
    Place(row.own_library, row.own_handler, own_folder_);
    for (const auto& [hive, value] : {std::pair{HKEY_LOCAL_MACHINE, row.machine_svid},
                                      std::pair{HKEY_CURRENT_USER, row.user_svid}}) {
      if (value) {
        install_.registry().SetString(hive, kEnvKey, L"svid", value);
      } else {
        install_.registry().Remove(hive, kEnvKey, L"svid");
      }
    }
    std::filesystem::remove(calls_);

    const LauncherRun run = install_.Run(L"",
                                         {{L"KESTOVA_CRASH_AGENT_RECORD", calls_.wstring()},
                                          {L"KESTOVA_CRASH_AGENT_PATH", row.agent_path}},
                                         launcher_);
    EXPECT_EQ(run.exit_code, 0u);

    if (row.handler == Row::kNoAgent) {
      EXPECT_FALSE(std::filesystem::exists(calls_));
      continue;
    }
    const std::wstring handler =
        ((row.handler == Row::kVersionHandler ? install_.VersionDir(version) : own_folder_) /
         L"crashpad_handler.exe")
            .wstring();
    const std::string data_dir =
        WideToUtf8((install_.temp() / "Velmora" / "Kestova").wstring()) + "\\";
    const std::string slash_dir = ReplaceAll(data_dir, "\\", "/");
    const std::string registration = row.agent_path.empty()
                                         ? "RegisterProcess|own-pid|KestovaLauncher|15|" +
                                               slash_dir + "|" + std::to_string(slash_dir.size())
                                         : "RegisterProcessWithPath|" + WideToUtf8(row.agent_path) +
                                               "|own-pid|KestovaLauncher|15|" + slash_dir + "|" +
                                               std::to_string(slash_dir.size());
    const std::vector<std::string> agent_calls = {
        "Init|" + WideToUtf8(handler) + "|" + data_dir + "|" + data_dir +
            "|b83e1f60d2|6d2f48b1-93ce-4a07-b5e2-0f71c8d93a46|7.7.7.7|com.velmora.kestova|"
            "KestovaLauncher|KestovaLauncher|" +
            WideToUtf8(version) + "|5000|01100",
        "SetKeyValue|account_id|" + row.account,
        "SetFlagAndSize|1|10485760",
        "SetRuntimeHandlerSetters|works|works",
        "QueryPathBuffer|260|zeroed",
        registration,
        "SetCrashCallback|callback|null",
    };
    std::vector<std::string> expected;
    for (const std::string& folder : row.factories) {
      expected.push_back("CreateFennoAgent|" +
                         (folder == "version" ? WideToUtf8(version) : folder));
    }
    expected.insert(expected.end(), agent_calls.begin(), agent_calls.end());
    EXPECT_EQ(test_support::SplitLines(test_support::ReadFileBytes(calls_)), expected);
  }
}

TEST_F(CrashReportingTest, ACrashHasTheInstalledLauncherReportItAndTheIfeoEntryGoes) {
  Place(Library::kAgent, true, install_.VersionDir());
  test_support::CopyStandIn(install_.application_dir(), L"KestovaLauncher.exe");
  base::RegKey ifeo;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kIfeoKey) + L"\\Nested").c_str(), 0,
                            nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, ifeo.put(), nullptr),
            ERROR_SUCCESS);
  ifeo.reset();

  const LauncherRun run = install_.Run(L"", {{L"KESTOVA_CRASH_AGENT_RECORD", calls_.wstring()},
                                             {L"KESTOVA_CRASH_AGENT_FIRE", L"1"}});
  EXPECT_EQ(run.exit_code, 0u);
  const auto start = install_.WaitForStart();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->first, L"KestovaLauncher.exe");
  EXPECT_EQ(start->second.command_line,
            L"\"" + (install_.application_dir() / L"KestovaLauncher.exe").wstring() +
                L"\" --launch-proc-name \"KestovaAssistant.exe\" "
                L"--report-process-crash-event \"KestovaLauncher\" ");
  base::RegKey gone;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kIfeoKey, 0, KEY_READ | KEY_WOW64_64KEY, gone.put()),
            ERROR_FILE_NOT_FOUND);
  if (gone) RegDeleteTreeW(HKEY_LOCAL_MACHINE, kIfeoKey);
}

}  // namespace
}  // namespace launcher_test
