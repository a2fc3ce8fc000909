#pragma once

#include <cstdint>

#include "ipc/module_id.h"

// What the launcher fixes about the product's other processes: executables,
// the named objects that show they run, IPC addresses and messages, and the
// options they are started with. Each of these processes is built to these
// values; changing one here breaks it.
namespace product {

// This launcher. Crash reporting starts the copy in the install folder's
// Application folder, not one in a version folder.
inline constexpr wchar_t kLauncherExe[] = L"KestovaLauncher.exe";

// Executables of the product, started from the current version folder.
inline constexpr wchar_t kEmulatorClientExe[] = L"Kestova.exe";
inline constexpr wchar_t kStoreClientExe[] = L"KestovaStore.exe";
inline constexpr wchar_t kAssistantExe[] = L"KestovaAssistant.exe";
// Never started by the launcher: the first is probed, the second only makes
// a version folder complete.
inline constexpr wchar_t kHeadlessVmHostExe[] = L"KBoxHeadless.exe";
inline constexpr wchar_t kBackgroundServiceExe[] = L"KestovaSvr.exe";
// Hyper-V's worker; the one that belongs to the VM runs under kVmWorkerAccount.
inline constexpr wchar_t kVmWorkerExe[] = L"vmwp.exe";
inline constexpr wchar_t kVmWorkerAccount[] = L"CCC68AFF-4EA8-4AE6-AA80-72B4DC50C81A";

// Mutexes that show a process runs. The first two stand in the global
// namespace ("Global\" is added by the probe); the VM marker stands in the
// caller's local namespace.
inline constexpr char kEmulatorClientMarker[] = "55DCE4A4-2426-4814-96E5-5E6419171E71";
inline constexpr char kStoreClientMarker[] = "KestovaStore.exe";
inline constexpr wchar_t kVmReadyMarker[] = L"VM_READY_304766663";

// IPC addresses.
inline constexpr ipc::ModuleId kLauncherModule = ipc::ModuleId::LaunchAgent;
inline constexpr ipc::ModuleId kEmulatorClientModule = ipc::ModuleId::EmulatorClient;
inline constexpr ipc::ModuleId kStoreClientModule = ipc::ModuleId::StoreClient;

// Messages the launcher sends, with the record each carries as data.
enum class Message : std::int32_t {
  StoreActivate = 1000,  // StoreActivateInfo, to the store client
  StoreLink = 10003,     // LinkContent, to the store client
  AppLaunch = 20001,     // AppLaunchInfo, to the emulator client
  AppInstall = 20002,    // InstallAppInfo, to the emulator client
  Quit = 20006,          // the JSON string "", to the emulator client
  OemStartVm = 20008,    // {"oem_name"}, to the emulator client
  OemStopVm = 20009,     // {"oem_name"}, to the emulator client
};

// Names the executable a launcher command line addresses; found by a scan of
// the arguments, not by an option parser.
inline constexpr wchar_t kLaunchProcNameOption[] = L"launch-proc-name";

// Options of the command lines the launcher composes for these processes.
inline constexpr wchar_t kStartTimeOption[] = L"kestova_launcher_start_time";
inline constexpr char kPseudoProtocolOption[] = "pseudo-protocol";
inline constexpr wchar_t kReportCrashOption[] = L"report-process-crash-event";
// Links of desktop shortcuts to the store, and what makes one silent.
inline constexpr wchar_t kShortcutLinkPrefix[] = L"kestova://client/launchWithShortcut";
inline constexpr wchar_t kSilentLinkSuffix[] = L"&silent=1";
// Added to a forwarded command line as --silent "1".
inline constexpr wchar_t kSilentOption[] = L"silent";

}  // namespace product
