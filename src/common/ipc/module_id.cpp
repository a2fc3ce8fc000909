#include "ipc/module_id.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace ipc {
namespace {

constexpr std::string_view kUnknownName = "UNKNOWN";

struct ModuleRow {
  ModuleId id;
  std::string_view name;
  // The module's processes hold an inited marker, and senders look for it.
  bool announces_readiness;
};

// Ascending by number.
constexpr ModuleRow kModules[] = {
    {ModuleId::Unknown, kUnknownName, false},
    {ModuleId::StoreClient, "StoreClient", true},
    {ModuleId::EmulatorClient, "EmulatorClient", true},
    {ModuleId::HostService, "HostService", true},
    {ModuleId::Updater, "Updater", false},
    {ModuleId::Uninstaller, "Uninstaller", false},
    {ModuleId::DesktopCompanion, "DesktopCompanion", true},
    {ModuleId::Reserved, kUnknownName, false},
    {ModuleId::SetupWizard, "SetupWizard", false},
    {ModuleId::LaunchAgent, "LaunchAgent", false},
    {ModuleId::FileBridge, "FileBridge", false},
    {ModuleId::SetupFetcher, "SetupFetcher", false},
    {ModuleId::VmCrashNotifier, "VmCrashNotifier", false},
    {ModuleId::VmHeadlessHost, "VmHeadlessHost", false},
    {ModuleId::SmartCompanion, "SmartCompanion", true},
    {ModuleId::PlayService, "PlayService", false},
    {ModuleId::VmCore, "VmCore", false},
    {ModuleId::DesktopStoreSdk, "DesktopStoreSdk", false},
    {ModuleId::DesktopStoreCompanion, "DesktopStoreCompanion", false},
    {ModuleId::GameHubSdk, "GameHubSdk", false},
    {ModuleId::PartnerAppstore, "PartnerAppstore", false},
    {ModuleId::PartnerSdk, "PartnerSdk", false},
    {ModuleId::StreamingSdk, "StreamingSdk", false},
    {ModuleId::CafeClient, "CafeClient", false},
};

constexpr bool ById(const ModuleRow& row, ModuleId id) { return row.id < id; }

static_assert(std::is_sorted(std::begin(kModules), std::end(kModules),
                             [](const ModuleRow& a, const ModuleRow& b) { return a.id < b.id; }));

constexpr const ModuleRow* FindRow(ModuleId id) {
  const auto* const found = std::lower_bound(std::begin(kModules), std::end(kModules), id, ById);
  return found != std::end(kModules) && found->id == id ? found : nullptr;
}

// The senders of every product process check the same set, known among them
// as the bit mask 0x4027 over 10001 + n: the table must not drift from it.
constexpr std::uint32_t ReadinessMask() {
  std::uint32_t mask = 0;
  for (const ModuleRow& row : kModules) {
    if (row.announces_readiness) mask |= 1u << (static_cast<std::int32_t>(row.id) - 10001);
  }
  return mask;
}
static_assert(ReadinessMask() == 0x4027);

std::atomic<std::int32_t> local_module{0};

}  // namespace

std::string_view ModuleName(ModuleId id) {
  const ModuleRow* const row = FindRow(id);
  return row ? row->name : kUnknownName;
}

bool IsReadinessChecked(ModuleId id) {
  const ModuleRow* const row = FindRow(id);
  return row && row->announces_readiness;
}

std::vector<ModuleId> NamedModules() {
  std::vector<ModuleId> modules;
  for (const ModuleRow& row : kModules) {
    if (row.name != kUnknownName) modules.push_back(row.id);
  }
  return modules;
}

std::string InitedMutexName(ModuleId id, bool global) {
  return fmt::format("{}kestova_ipc_inited_{}", global ? "Global\\" : "", ModuleName(id));
}

ModuleId LocalModule() { return static_cast<ModuleId>(local_module.load()); }

void SetLocalModule(ModuleId id) { local_module = static_cast<std::int32_t>(id); }

}  // namespace ipc
