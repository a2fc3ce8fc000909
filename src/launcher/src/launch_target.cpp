#include "launch_target.h"

#include <filesystem>
#include <map>
#include <system_error>

#include "cmdline/parser.h"
#include "install/install_layout.h"
#include "launch_options.h"
#include "launch_request.h"
#include "launcher/forwarding.h"
#include "launcher/product_contract.h"
#include "link_text.h"
#include "log/logger.h"
#include "oem_vm.h"
#include "pseudo_protocol.h"
#include "shortcut.h"
#include "system/named_objects.h"
#include "system/process_info.h"
#include "system/process_list.h"
#include "system/shell_open.h"
#include "system/quoting.h"
#include "system/text.h"

namespace {

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  return (std::filesystem::path(folder) / name).wstring();
}

bool Exists(const std::wstring& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

void LaunchTarget(int argc, const wchar_t* const* argv) {
  if (argc < 2) {
    LogLine("[error] argc < 2");
    return;
  }
  const cmdline::ArgumentList arguments(argv, static_cast<std::size_t>(argc));
  const cmdline::parser dispatch = ReadOptions(kDispatchOptions, arguments);
  if (const std::optional<std::wstring> link = LinkToOpen(arguments, dispatch)) {
    LaunchSchema(*link);
    return;
  }

  std::wstring name = FirstExecutableName(arguments);
  if (name == product::kEmulatorClientExe &&
      IsGlobalObjectPresent(product::kEmulatorClientMarker)) {
    // One walk of the process list serves the staleness test and the
    // foreground hand-off. Should the test end the client, the hand-off may
    // name a process that is gone; the send then fails all the same.
    const ProcessList processes = ProcessList::Take();
    if (!IsClientStale(processes) && NotifyCurrentKestova(LaunchOptions(arguments), processes))
      return;
  }
  if (name == product::kStoreClientExe && IsGlobalObjectPresent(product::kStoreClientMarker) &&
      NotifyCurrentStore(ShortcutOptions(arguments))) {
    return;
  }
  if (name == product::kEmulatorClientExe && HasOemStopVmRequest(arguments)) return;

  std::wstring parameters = ForwardedArguments(arguments, dispatch, name, &IsSilentShortcutMarked);
  parameters += ComposeOptions(std::map<std::wstring, std::wstring>{
      {product::kStartTimeOption, std::to_wstring(ProcessStartTimeMs())}});

  // Shortcuts, links and partner software reach this signed launcher: a name
  // that leaves the version folder would let them start any program.
  if (!IsBareFileName(name)) {
    LogLine("[error] launch-proc-name is not a file name: {}", WideToUtf8(name));
    return;
  }
  const InstallLayout& layout = InstallLayout::Instance();
  std::wstring folder = layout.VersionedApplicationDir();
  std::wstring executable = JoinPath(folder, name);
  if (!Exists(executable) && layout.CommitVersion(Utf8ToWide(OwnFileVersion()))) {
    folder = layout.VersionedApplicationDir();
    executable = JoinPath(folder, name);
  }
  // Started or not, nothing falls back: only a line cut short is worth a word.
  if (ShellOpen(executable, parameters, folder) == ERROR_FILENAME_EXCED_RANGE) {
    LogLine("[error] command line of {} characters exceeds the limit of {}, {} not started",
            ShellCommandLineLength(executable, parameters), kCommandLineLimit, WideToUtf8(name));
  }
}
