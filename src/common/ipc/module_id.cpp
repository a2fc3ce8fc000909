#include "ipc/module_id.h"

#include <fmt/format.h>

#include <atomic>
#include <map>

namespace ipc {
namespace {

constexpr std::string_view kUnknownName = "UNKNOWN";

const std::map<std::int32_t, std::string_view>& IdentityTable() {
  static const std::map<std::int32_t, std::string_view> table = {
      {0, kUnknownName},
      {10001, "StoreClient"},
      {10002, "EmulatorClient"},
      {10003, "HostService"},
      {10004, "Updater"},
      {10005, "Uninstaller"},
      {10006, "DesktopCompanion"},
      {10007, kUnknownName},
      {10008, "SetupWizard"},
      {10009, "LaunchAgent"},
      {10010, "FileBridge"},
      {10011, "SetupFetcher"},
      {10013, "VmCrashNotifier"},
      {10014, "VmHeadlessHost"},
      {10015, "SmartCompanion"},
      {10016, "PlayService"},
      {10017, "VmCore"},
      {20001, "DesktopStoreSdk"},
      {20002, "DesktopStoreCompanion"},
      {30001, "GameHubSdk"},
      {40001, "PartnerAppstore"},
      {50001, "PartnerSdk"},
      {60001, "StreamingSdk"},
      {70001, "CafeClient"},
  };
  return table;
}

std::atomic<std::int32_t> local_module{0};

}  // namespace

std::string_view ModuleName(ModuleId id) {
  const auto& table = IdentityTable();
  const auto found = table.find(static_cast<std::int32_t>(id));
  return found == table.end() ? kUnknownName : found->second;
}

std::vector<ModuleId> NamedModules() {
  std::vector<ModuleId> modules;
  for (const auto& [number, name] : IdentityTable()) {
    if (name != kUnknownName) modules.push_back(static_cast<ModuleId>(number));
  }
  return modules;
}

std::string InitedMutexName(ModuleId id, bool global) {
  return fmt::format("{}kestova_ipc_inited_{}", global ? "Global\\" : "", ModuleName(id));
}

ModuleId LocalModule() { return static_cast<ModuleId>(local_module.load()); }

void SetLocalModule(ModuleId id) { local_module = static_cast<std::int32_t>(id); }

}  // namespace ipc
