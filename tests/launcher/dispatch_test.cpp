// Runs the real launcher against a sample installation, with product clients
// played by KestovaIpc listeners and product executables by stand-ins, and
// checks for each request what reached which process.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>

#include "bus_process.h"
#include "install/registry.h"
#include "ipc/shm/channel.h"
#include "sample_install.h"
#include "stand_in_process.h"
#include "system/quoting.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace launcher_test {
namespace {

using nlohmann::json;

enum Client : unsigned {
  kNoClient = 0,
  kEmulator = 1,
  kStore = 2,
  // A process that holds the store's mutex but is not the store client on the
  // bus, so a packet for the store finds nobody ready.
  kStoreMarkerOnly = 4,
};

// What else runs beside an emulator client: the launcher ends a client whose
// VM is marked ready while neither its host nor its worker runs.
enum class Vm { kNotReady, kReadyWithoutHost, kReadyWithHost };

struct Packet {
  int to;
  int msg_id;
  json data;
};

struct Row {
  const char* title;
  std::wstring arguments;
  unsigned clients = kNoClient;
  std::vector<const wchar_t*> marks = {};
  std::vector<Packet> packets = {};
  // The product executable started, and what it was given; "{start}" stands
  // for the start-time option with the launcher's creation time.
  const wchar_t* started = nullptr;
  std::wstring parameters = {};
  // Beginnings of the log records after the command line, in order.
  std::vector<std::string> log = {};
  Vm vm = Vm::kNotReady;
};

constexpr int kStoreModule = 10001;
constexpr int kEmulatorModule = 10002;
// Holds the store's marker without being the store.
constexpr int kCafeModule = 70001;
constexpr wchar_t kEmulatorMarker[] = L"Global\\55DCE4A4-2426-4814-96E5-5E6419171E71";
constexpr wchar_t kStoreMarker[] = L"Global\\KestovaStore.exe";
constexpr wchar_t kSilentMark[] = L"mbrix.sdk.mark";
constexpr wchar_t kDesktopLinkMark[] = L"mbrix.sdk.desktop_link.mark";
constexpr wchar_t kTrayHiddenMark[] = L"mbrix.sdk.break.trayhidden.mark";

const json kLaunchedApp = {{"pkg_name", "com.example.app"},
                           {"source", 3},
                           {"deep_link", ""},
                           {"from_source", ""},
                           {"rotation", 0}};

std::vector<Row> Rows() {
  return {
      {.title = "a link goes to the running store",
       .arguments = L"kestova://app/detail?id=1&x=2",
       .clients = kStore,
       .packets = {{kStoreModule, 10003, {{"content", "kestova://app/detail?id=1&x=2"}}}},
       .log = {"LaunchSchema: [info] pseudo protocol kestova://app/detail?id=1&x=2"}},
      {.title = "a link starts the store that does not run",
       .arguments = L"kestova://app/detail?id=1&x=2",
       .started = L"KestovaStore.exe",
       .parameters = L"--pseudo-protocol \"kestova://app/detail?id=1&x=2\" ",
       .log = {"LaunchSchema: [info] pseudo protocol kestova://app/detail?id=1&x=2"}},
      {.title = "a toast link starts the assistant even with the store running",
       .arguments = L"kestova://app/x?KESTOVA_TOAST_TASK_ID=5&a=b&c",
       .clients = kStore,
       .started = L"KestovaAssistant.exe",
       .parameters =
           L"--pseudo-protocol \"kestova://app/x?KESTOVA_TOAST_TASK_ID=5%c(26)a=b%c(26)c\" ",
       .log =
           {"LaunchSchema: [info] pseudo protocol kestova://app/x?KESTOVA_TOAST_TASK_ID=5&a=b&c"}},
      {.title = "a link compares its scheme case-sensitively",
       .arguments = L"KESTOVA://app/detail --launch-proc-name KestovaStore.exe",
       .started = L"KestovaStore.exe",
       .parameters = L"\"KESTOVA://app/detail\" {start}"},
      {.title = "a local install becomes a link",
       .arguments = L"--local-install \"D:\\a b\\x.apk\"",
       .started = L"KestovaStore.exe",
       .parameters = L"--pseudo-protocol \"kestova://app/localInstall?path=D%3A%5Ca+b%5Cx%2Eapk\" ",
       .log = {"LaunchSchema: [info] pseudo protocol "
               "kestova://app/localInstall?path=D%3A%5Ca+b%5Cx%2Eapk"}},
      {.title = "a local install wins over a context-menu search",
       .arguments = L"--context-menu-search C:\\Downloads\\game.xapk --local-install D:\\x.apk",
       .clients = kStore,
       .packets = {{kStoreModule,
                    10003,
                    {{"content", "kestova://app/localInstall?path=D%3A%5Cx%2Eapk"}}}},
       .log = {"LaunchSchema: [info] pseudo protocol kestova://app/localInstall"}},
      {.title = "a context-menu search asks for the file's extension",
       .arguments = L"--context-menu-search C:\\Downloads\\game.xapk",
       .clients = kStore,
       .packets = {{kStoreModule,
                    10003,
                    {{"content",
                      "kestova://client/"
                      "gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%2Exapk%26from%"
                      "3Dclient"}}}},
       .log = {"LaunchSchema: [info] pseudo protocol kestova://client/gotoRoute"}},
      {.title = "an app launch goes to the running emulator client",
       .arguments = L"--launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3",
       .clients = kEmulator,
       .packets = {{kEmulatorModule, 20001, kLaunchedApp}}},
      {.title = "arguments are forwarded character by character",
       .arguments = LR"(--launch-proc-name KestovaStore.exe -- - "say \"hi\"" C:\dir\x "" )"
                    LR"(--launch-proc-name=ignored Kestova.exe)",
       .started = L"Kestova.exe",
       .parameters = LR"(-- "-" "say \"hi\"" "C:\\dir\\x" "" {start})"},
      {.title = "an option holding a blank, a tab or a double quote arrives as one argument",
       .arguments =
           L"--launch-proc-name Kestova.exe \"--opt=a b\" \"--tab=a\tb\" \"--x=\\\"\" --from 3",
       .started = L"Kestova.exe",
       .parameters = L"\"--opt=a b\" \"--tab=a\tb\" \"--x=\\\"\" --from \"3\" {start}"},
      {.title = "a malformed launch record is logged and forwarded on the command line",
       .arguments = L"--launch-proc-name Kestova.exe --app-launch-info {bad",
       .clients = kEmulator,
       .started = L"Kestova.exe",
       .parameters = L"--app-launch-info \"{bad\" {start}",
       .log = {"NotifyCurrentKestova: json parse error, error message: "}},
      {.title = "extra data nested deeper than any real record is refused",
       .arguments = L"--launch-proc-name Kestova.exe --launch-pkg-name p --launch-extra-data " +
                    std::wstring(600, L'[') + std::wstring(600, L']'),
       .clients = kEmulator,
       .packets = {{kEmulatorModule,
                    20001,
                    {{"pkg_name", "p"},
                     {"source", 0},
                     {"deep_link", ""},
                     {"from_source", ""},
                     {"rotation", 0}}}},
       .log = {"NotifyCurrentKestova: launch extra data parse error, error message: "}},
      {.title = "a launch record is sent as read",
       .arguments =
           LR"(--launch-proc-name Kestova.exe "--app-launch-info={\"pkg_name\":\"a.b\",\"source\":2.9,\"x\":1}")",
       .clients = kEmulator,
       .packets = {{kEmulatorModule,
                    20001,
                    {{"pkg_name", "a.b"}, {"source", 2}, {"rotation", 0}}}}},
      {.title = "malformed extra data is left out of the launch",
       .arguments = L"--launch-proc-name Kestova.exe --launch-pkg-name p --launch-extra-data {x "
                    L"--launch-tv-series s1 --from-source desk",
       .clients = kEmulator,
       .packets = {{kEmulatorModule,
                    20001,
                    {{"pkg_name", "p"},
                     {"source", 0},
                     {"deep_link", ""},
                     {"from_source", "desk"},
                     {"launch_tv_series", "s1"},
                     {"rotation", 0}}}},
       .log = {"NotifyCurrentKestova: launch extra data parse error, error message: "}},
      {.title = "an install from single options",
       .arguments = L"--launch-proc-name Kestova.exe --install-pkg-name p --install-file-path "
                    L"C:\\a.apk --oem acme",
       .clients = kEmulator,
       .packets = {{kEmulatorModule,
                    20002,
                    {{"pkg_name", "p"},
                     {"file_path", "C:\\a.apk"},
                     {"from_source", ""},
                     {"oem", "acme"},
                     {"icon", ""},
                     {"name", ""},
                     {"engine_name", ""},
                     {"state", 0}}}}},
      {.title = "an install record gets the partner's name",
       .arguments = LR"(--launch-proc-name Kestova.exe --oem acme "--install-app-info=)"
                    LR"({\"pkg_name\":\"p\",\"icon\":\"i\",\"name\":\"n\",\"engine_name\":\"e\",)"
                    LR"(\"file_path\":\"f\"}")",
       .clients = kEmulator,
       .packets = {{kEmulatorModule,
                    20002,
                    {{"pkg_name", "p"},
                     {"icon", "i"},
                     {"name", "n"},
                     {"engine_name", "e"},
                     {"file_path", "f"},
                     {"state", 0},
                     {"oem", "acme"}}}}},
      {.title = "a partner's VM start carries only the partner's name",
       .arguments =
           LR"(--launch-proc-name Kestova.exe "--oem-start-vm={\"oem_name\":\"acme\",\"x\":1}")",
       .clients = kEmulator,
       .packets = {{kEmulatorModule, 20008, {{"oem_name", "acme"}}}}},
      {.title = "a partner's VM stop goes to the running client",
       .arguments = LR"(--launch-proc-name Kestova.exe "--oem-stop-vm={\"oem_name\":\"acme\"}")",
       .clients = kEmulator,
       .packets = {{kEmulatorModule, 20009, {{"oem_name", "acme"}}}}},
      {.title = "a partner's VM stop starts nothing when no client runs",
       .arguments =
           LR"(--launch-proc-name Kestova.exe --launch-pkg-name p "--oem-stop-vm={\"oem_name\":\"acme\"}")"},
      {.title = "a malformed VM stop is logged and starts nothing",
       .arguments = L"--launch-proc-name Kestova.exe --oem-stop-vm {bad",
       .clients = kEmulator,
       .log = {"NotifyCurrentKestova: StopVMInfo json parse error, error message: "}},
      {.title = "a malformed VM start is logged and the client started with it",
       .arguments = L"--launch-proc-name Kestova.exe --oem-start-vm {bad",
       .clients = kEmulator,
       .started = L"Kestova.exe",
       .parameters = L"--oem-start-vm \"{bad\" {start}",
       .log = {"NotifyCurrentKestova: StartVMInfo json parse error, error message: "}},
      {.title = "an empty VM stop is no stop request, nor quit with a false value a quit",
       .arguments = L"--launch-proc-name Kestova.exe --oem-stop-vm \"\" --quit 0",
       .clients = kEmulator,
       .started = L"Kestova.exe",
       .parameters = L"--oem-stop-vm \"\" --quit \"0\" {start}"},
      {.title = "quit",
       .arguments = L"--launch-proc-name Kestova.exe --quit 1",
       .clients = kEmulator,
       .packets = {{kEmulatorModule, 20006, ""}}},
      {.title = "a stale client is ended and the request starts a new one",
       .arguments = L"--launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3",
       .clients = kEmulator,
       .started = L"Kestova.exe",
       .parameters = L"--launch-pkg-name \"com.example.app\" --from \"3\" {start}",
       .vm = Vm::kReadyWithoutHost},
      {.title = "a client whose VM host runs is not stale",
       .arguments = L"--launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3",
       .clients = kEmulator,
       .packets = {{kEmulatorModule, 20001, kLaunchedApp}},
       .vm = Vm::kReadyWithHost},
      {.title = "a silent shortcut link to the running store",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol "
                    L"kestova://client/launchWithShortcut?pkg=a",
       .clients = kStore,
       .marks = {kSilentMark},
       .packets = {{kStoreModule,
                    10003,
                    {{"content", "kestova://client/launchWithShortcut?pkg=a&silent=1"}}}}},
      {.title = "a shortcut is not silent while the desktop link mark is set",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol "
                    L"kestova://client/launchWithShortcut?pkg=a --silent",
       .clients = kStore,
       .marks = {kSilentMark, kDesktopLinkMark},
       .packets = {{kStoreModule,
                    10003,
                    {{"content", "kestova://client/launchWithShortcut?pkg=a"}}}}},
      {.title = "the tray-hidden mark breaks the silence",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol "
                    L"kestova://client/launchWithShortcut?pkg=a",
       .clients = kStore,
       .marks = {kSilentMark, kTrayHiddenMark},
       .packets = {{kStoreModule,
                    10003,
                    {{"content", "kestova://client/launchWithShortcut?pkg=a"}}}}},
      {.title = "only a shortcut link is made silent",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol kestova://client/other",
       .clients = kStore,
       .marks = {kSilentMark},
       .packets = {{kStoreModule, 10003, {{"content", "kestova://client/other"}}}}},
      {.title = "a silent shortcut starts the store with the silent option",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol "
                    L"kestova://client/launchWithShortcut?pkg=a",
       .marks = {kSilentMark},
       .started = L"KestovaStore.exe",
       .parameters = L"--pseudo-protocol \"kestova://client/launchWithShortcut?pkg=a&silent=1\"  "
                     L"--silent \"1\" {start}"},
      {.title = "silent alone asks the running store for nothing",
       .arguments = L"--launch-proc-name KestovaStore.exe --silent",
       .clients = kStore},
      {.title = "the store is brought forward for its source",
       .arguments = L"--launch-proc-name KestovaStore.exe --from 7",
       .clients = kStore,
       .packets = {{kStoreModule, 1000, {{"cmd_show", 0}, {"source", 7}}}}},
      {.title = "a source that is no number is left out",
       .arguments = L"--launch-proc-name KestovaStore.exe --from abc",
       .clients = kStore,
       .packets = {{kStoreModule, 1000, {{"cmd_show", 0}}}}},
      {.title = "a source beyond 64 bits is left out",
       .arguments = L"--launch-proc-name KestovaStore.exe --from 18446744073709551616",
       .clients = kStore,
       .packets = {{kStoreModule, 1000, {{"cmd_show", 0}}}}},
      {.title = "a link the store cannot take starts no second store",
       .arguments = L"kestova://app/detail?id=1",
       .clients = kStoreMarkerOnly,
       .log = {"LaunchSchema: [info] pseudo protocol kestova://app/detail?id=1"}},
      {.title = "a store that cannot be told is started with the request, and only a shortcut "
                "link is made silent",
       .arguments = L"--launch-proc-name KestovaStore.exe --pseudo-protocol kestova://client/other",
       .clients = kStoreMarkerOnly,
       .marks = {kSilentMark},
       .started = L"KestovaStore.exe",
       .parameters = L"--pseudo-protocol \"kestova://client/other\" {start}"},
      {.title = "a source keeps its low 32 bits",
       .arguments = L"--launch-proc-name KestovaStore.exe --from 4294967297",
       .clients = kStore,
       .packets = {{kStoreModule, 1000, {{"cmd_show", 0}, {"source", 1}}}}},
  };
}

std::wstring ExpectedParameters(std::wstring parameters, uint64_t start_time_ms) {
  return ReplaceAll(std::move(parameters), L"{start}",
                    L"--kestova_launcher_start_time \"" + std::to_wstring(start_time_ms) + L"\" ");
}

class DispatchTest : public testing::Test {
 protected:
  void Check(const Row& row);
  void CheckStarted(const Row& row, const LauncherRun& run, const std::filesystem::path& folder);

  SampleInstall install_;
};

void DispatchTest::CheckStarted(const Row& row, const LauncherRun& run,
                                const std::filesystem::path& folder) {
  if (row.started == nullptr) {
    EXPECT_TRUE(install_.NothingStarted());
    return;
  }
  const auto start = install_.WaitForStart();
  ASSERT_TRUE(start) << "nothing started";
  EXPECT_EQ(start->first, row.started);
  const std::wstring executable = (folder / row.started).wstring();
  EXPECT_EQ(start->second.command_line,
            L"\"" + executable + L"\" " + ExpectedParameters(row.parameters, run.start_time_ms));
  // A forwarded request starts in the version folder; a link's target
  // wherever the launcher was.
  const bool forwarded = row.parameters.find(L"{start}") != std::wstring::npos;
  EXPECT_EQ(start->second.folder,
            forwarded ? folder.wstring() : std::filesystem::current_path().wstring());
  if (forwarded) {
    // Whatever came before, the started process's runtime finds the start
    // time as its last two arguments.
    int count = 0;
    const base::LocalMemory<wchar_t*> argv(
        CommandLineToArgvW(start->second.command_line.c_str(), &count));
    ASSERT_GE(count, 2);
    EXPECT_EQ(std::wstring(argv.get()[count - 2]), L"--kestova_launcher_start_time");
    EXPECT_EQ(std::wstring(argv.get()[count - 1]), std::to_wstring(run.start_time_ms));
  }
}

void DispatchTest::Check(const Row& row) {
  for (const wchar_t* mark : row.marks) install_.SetMark(mark, 1);

  base::KernelHandle vm_ready;
  std::unique_ptr<test_support::StandInProcess> client_process;
  std::unique_ptr<test_support::StandInProcess> vm_host;
  if (row.vm != Vm::kNotReady) {
    vm_ready.reset(CreateMutexW(nullptr, FALSE, L"VM_READY_304766663"));
    client_process =
        std::make_unique<test_support::StandInProcess>(install_.temp() / "client", L"Kestova.exe");
    ASSERT_TRUE(client_process->started());
    // Without the host a worker runs, but under the test's account: it is
    // another VM's and keeps no client from being stale.
    vm_host = std::make_unique<test_support::StandInProcess>(
        install_.temp() / "host", row.vm == Vm::kReadyWithHost ? L"KBoxHeadless.exe" : L"vmwp.exe");
    ASSERT_TRUE(vm_host->started());
  }

  const auto packets_to = [&](int module) {
    return static_cast<int>(std::count_if(row.packets.begin(), row.packets.end(),
                                          [&](const Packet& p) { return p.to == module; }));
  };
  // A running client as far as the launcher can tell: listening as its
  // module, its marker held, expecting the closing packet of PacketsSoFar too.
  // PacketsSoFar ends it; the idle limit only ends one that a failed row left.
  const auto client = [&](int module, const wchar_t* marker) {
    return std::make_unique<ipc_test::BusProcess>(
        L"listen " + std::to_wstring(module) + L" --hold " + marker + L" --idle-ms 20000 --count " +
        std::to_wstring(packets_to(module) + 1));
  };
  std::unique_ptr<ipc_test::BusProcess> emulator;
  std::unique_ptr<ipc_test::BusProcess> store;
  if (row.clients & kEmulator) {
    emulator = client(kEmulatorModule, kEmulatorMarker);
    ASSERT_TRUE(emulator->WaitReady());
  }
  if (row.clients & kStore) {
    store = client(kStoreModule, kStoreMarker);
    ASSERT_TRUE(store->WaitReady());
  }
  std::unique_ptr<ipc_test::BusProcess> store_marker_only;
  if (row.clients & kStoreMarkerOnly) {
    store_marker_only = client(kCafeModule, kStoreMarker);
    ASSERT_TRUE(store_marker_only->WaitReady());
  }

  const LauncherRun run = install_.Run(row.arguments);
  EXPECT_EQ(run.exit_code, 0u);
  CheckStarted(row, run, install_.VersionDir());

  std::vector<json> received;
  for (const auto& [listener, module] :
       {std::pair(emulator.get(), kEmulatorModule), std::pair(store.get(), kStoreModule),
        std::pair(store_marker_only.get(), kCafeModule)}) {
    if (listener == nullptr) continue;
    for (json& packet : listener->PacketsSoFar(std::to_wstring(module), packets_to(module))) {
      received.push_back(std::move(packet));
    }
  }
  ASSERT_EQ(received.size(), row.packets.size()) << json(received).dump();
  for (size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].value("from", 0), 10009);
    EXPECT_EQ(received[i].value("to", 0), row.packets[i].to);
    EXPECT_EQ(received[i].value("msg_id", 0), row.packets[i].msg_id);
    EXPECT_EQ(received[i]["data"], row.packets[i].data);
  }

  ASSERT_EQ(run.log.size(), row.log.size()) << testing::PrintToString(run.log);
  for (size_t i = 0; i < run.log.size(); ++i) {
    EXPECT_TRUE(run.log[i].starts_with(row.log[i])) << run.log[i];
  }
  if (client_process) {
    EXPECT_EQ(client_process->running(), row.vm == Vm::kReadyWithHost);
  }
}

TEST_F(DispatchTest, CarriesOutEachRequestTheWayItsClientsAllow) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.title);
    Check(row);
    for (const wchar_t* mark : row.marks) install_.SetMark(mark, 0);
  }
}

TEST_F(DispatchTest, RepairsTheVersionWhenTheExecutableIsMissing) {
  install_.SetVersion(L"9.0.0.2");
  const LauncherRun run = install_.Run(L"--launch-proc-name Kestova.exe --from 3");
  EXPECT_EQ(run.exit_code, 0u);
  const std::wstring own_version = Utf8ToWide(KESTOVA_LAUNCHER_VERSION);
  const auto start = install_.WaitForStart();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->second.command_line,
            L"\"" + (install_.VersionDir(own_version) / L"Kestova.exe").wstring() + L"\" " +
                ExpectedParameters(L"--from \"3\" {start}", run.start_time_ms));
  EXPECT_EQ(start->second.folder, install_.VersionDir(own_version).wstring());
  EXPECT_EQ(
      ReadRegString(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora\\Kestova\\Kestova", L"Version", L""),
      own_version);
}

TEST_F(DispatchTest, StartsTheLongestLineThatFitsAndNothingLonger) {
  // The started line: the quoted executable, a blank, the raw pad option, a
  // blank and the start-time option (13 digits until 2286); with its NUL it
  // may hold 32,767 characters.
  const std::size_t fixed = (install_.VersionDir() / L"Kestova.exe").wstring().size() + 3 + 1 +
                            ExpectedParameters(L"{start}", 1'000'000'000'000).size() + 1;
  for (const std::size_t over : {0u, 1u}) {
    SCOPED_TRACE(over);
    const std::wstring pad = L"--pad=" + std::wstring(32767 - fixed - 6 + over, L'a');
    const LauncherRun run = install_.Run(L"--launch-proc-name Kestova.exe " + pad);
    if (over == 0) {
      const auto start = install_.WaitForStart();
      ASSERT_TRUE(start);
      EXPECT_EQ(start->second.command_line.size(), 32766u);
      EXPECT_TRUE(
          start->second.command_line.ends_with(ExpectedParameters(L"{start}", run.start_time_ms)));
    } else {
      EXPECT_TRUE(install_.NothingStarted());
      ASSERT_EQ(run.log.size(), 1u);
      EXPECT_TRUE(run.log[0].starts_with("LaunchTarget: [error] command line of 32768"))
          << run.log[0];
    }
  }
  // A link for a stopped store doubles its backslashes when quoted.
  const LauncherRun link = install_.Run(L"kestova://app/x?q=" + std::wstring(20000, L'\\'));
  EXPECT_TRUE(install_.NothingStarted());
  ASSERT_EQ(link.log.size(), 2u);
  EXPECT_TRUE(link.log[1].starts_with("LaunchSchema: [error] command line of")) << link.log[1];
}

TEST_F(DispatchTest, AMonitorShowsEveryMessageWithItsDropReasonAndChangesNoDispatch) {
  ipc_test::BusProcess monitor(L"monitor EmulatorClient PlayService --count 2");
  // Its last channel connected: every one is.
  for (int tries = 0; shm::ConnectedReceivers("PlayService", false).value_or(0) == 0; ++tries) {
    ASSERT_LT(tries, 600) << "the monitor never connected";
    Sleep(50);
  }
  install_.Run(L"--launch-proc-name Kestova.exe --from 3");
  const auto start = install_.WaitForStart();
  ASSERT_TRUE(start);
  EXPECT_EQ(start->first, L"Kestova.exe");

  const ipc_test::BusRun sent = ipc_test::RunBus(L"send PlayService 5 {}");
  ASSERT_EQ(sent.exit_code, 0u);
  ASSERT_EQ(sent.lines.size(), 1u);
  const std::string astray = R"({"from":1,"to":10002,"msg_id":3,"data":null})";
  const auto channel = shm::Channel::Open("PlayService", true);
  ASSERT_TRUE(channel->connect(shm::ConnectMode::kSender));
  ASSERT_TRUE(channel->send(astray.c_str(), astray.size() + 1, 0));

  ASSERT_EQ(monitor.Finish(), 0u);
  const std::vector<std::string> lines = monitor.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\tGlobal\\PlayService\t{"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(sent.lines[0]), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("dropped"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("\tGlobal\\PlayService\t" + astray +
                                 "\tdropped: addressed to another module"))
      << lines[1];
}

// Which names leave the folder is the name check's own table; this run shows
// that the launcher asks it of the name that would start.
TEST_F(DispatchTest, StartsNothingOutsideTheVersionFolder) {
  // Where the name leads, a program waits to be started.
  test_support::CopyStandIn(install_.application_dir(), L"x.exe");
  // The first pair only decides whom to notify; the last names what starts.
  const LauncherRun run =
      install_.Run(L"--launch-proc-name Kestova.exe --launch-proc-name ..\\x.exe --from 3");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(install_.NothingStarted());
  EXPECT_EQ(run.log, std::vector<std::string>{
                         "LaunchTarget: [error] launch-proc-name is not a file name: ..\\x.exe"});
}

}  // namespace
}  // namespace launcher_test
