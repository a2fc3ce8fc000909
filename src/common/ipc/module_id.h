#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ipc {

// Addresses of the product's processes and partner components. A module's
// name is also the name of its receiving channel and part of its inited
// marker mutex, so every process of the product relies on these numbers.
enum class ModuleId : std::int32_t {
  Unknown = 0,
  StoreClient = 10001,
  EmulatorClient = 10002,
  HostService = 10003,
  Updater = 10004,
  Uninstaller = 10005,
  DesktopCompanion = 10006,
  Reserved = 10007,  // named "UNKNOWN"
  SetupWizard = 10008,
  LaunchAgent = 10009,  // this launcher
  FileBridge = 10010,
  SetupFetcher = 10011,
  VmCrashNotifier = 10013,
  VmHeadlessHost = 10014,
  SmartCompanion = 10015,
  PlayService = 10016,
  VmCore = 10017,
  DesktopStoreSdk = 20001,
  DesktopStoreCompanion = 20002,
  GameHubSdk = 30001,
  PartnerAppstore = 40001,
  PartnerSdk = 50001,
  StreamingSdk = 60001,
  CafeClient = 70001,
};

// "UNKNOWN" for every number without a name of its own.
std::string_view ModuleName(ModuleId id);

// Whether Send looks for the module's inited marker before it sends: the
// store and emulator clients, the host service, the desktop companion and
// the smart companion announce themselves that way.
[[nodiscard]] bool IsReadinessChecked(ModuleId id);

// Every number with a name of its own, ascending.
std::vector<ModuleId> NamedModules();

// "Global\kestova_ipc_inited_<name>" or, outside the global namespace,
// "kestova_ipc_inited_<name>": held by a process whose endpoint is up.
std::string InitedMutexName(ModuleId id, bool global);

// The identity this process's IPC endpoint was initialised with; Unknown
// until then. The endpoint sets it; packets built without a sender read it.
ModuleId LocalModule();
void SetLocalModule(ModuleId id);

}  // namespace ipc
