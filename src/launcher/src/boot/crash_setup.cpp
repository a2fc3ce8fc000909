#include "boot/crash_setup.h"

#include <map>

#include "install/registry.h"
#include "launcher/product_contract.h"
#include "system/shell_open.h"
#include "system/quoting.h"
#include "system/text.h"

namespace crash {
namespace {

constexpr wchar_t kIfeoKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\";
constexpr wchar_t kSvidValue[] = L"svid";

}  // namespace

void RemoveIfeoEntry(const std::wstring& executable_name) {
  // An ordinary user may not write the machine's keys; the start goes on.
  static_cast<void>(DeleteRegKeyTree(kIfeoKey + executable_name));
}

std::string ReadSvid(const InstallLayout& layout) {
  for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    const std::wstring value = ReadRegString(hive, layout.EnvKey(), kSvidValue, kRegAbsentMarker);
    if (!value.empty() && value != kRegAbsentMarker) return WideToUtf8(value);
  }
  return {};
}

CrashReportingSetup SetupFrom(const InstallLayout& layout) {
  return {.version_dir = layout.VersionedApplicationDir(),
          .data_dir = layout.TempProductDir(),
          .product_version = layout.ProductVersion(),
          .component_version = WideToUtf8(layout.ComponentVersion(ComponentKind::Kestova)),
          .account_id = ReadSvid(layout)};
}

void ReportProcessCrashEvent(const InstallLayout& layout, const std::wstring& process_name) {
  const std::map<std::wstring, std::wstring> options{
      {product::kLaunchProcNameOption, product::kAssistantExe},
      {product::kReportCrashOption, process_name},
  };
  const std::wstring target = layout.ApplicationDir() + L"\\" + product::kLauncherExe;
  // A crash report is the last thing this run does: a refused start has
  // nowhere left to be told.
  static_cast<void>(ShellOpen(target, ComposeOptions(options), L""));
}

}  // namespace crash
