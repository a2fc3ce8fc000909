#include "launch_target.h"

#include <filesystem>
#include <map>
#include <system_error>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "cmdline/parser.h"
#include "install/install_layout.h"
#include "launch_options.h"
#include "launcher/forwarding.h"
#include "launcher/product_contract.h"
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

constexpr wchar_t kLinkScheme[] = L"kestova://";
constexpr char kLocalInstallLink[] = "kestova://app/localInstall?path={}";
constexpr char kContextMenuSearchLink[] =
    "kestova://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D{}%26from%3Dclient";
// Appended to a forwarded command line whose shortcut link was made silent.
// The closing blank keeps it apart from the option that follows.
constexpr wchar_t kSilentArgument[] = L" --silent \"1\" ";

bool NamesExecutable(std::wstring_view argument) {
  return argument.find(product::kLaunchProcNameOption) != std::wstring_view::npos;
}

// The argument after the first one that mentions launch-proc-name.
std::wstring FirstExecutableName(int argc, const wchar_t* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (NamesExecutable(argv[i])) return i + 1 < argc ? argv[i + 1] : L"";
  }
  return L"";
}

// The started process's runtime splits its command line at blanks and tabs
// outside double quotes, so an option holding either, or a double quote,
// would arrive as other arguments than were given. Every other option stays
// raw: peers match "--name" and "--name=value" forms as written.
bool NeedsQuoting(std::wstring_view option) {
  return option.find_first_of(L" \t\n\v\f\r\"") != std::wstring_view::npos;
}

bool IsSilentShortcutLink(std::wstring_view text) {
  return StartsWith(text, product::kShortcutLinkPrefix) && IsSilentShortcutMarked();
}

// The arguments for the started executable, without the launch-proc-name
// pairs; the name of the last such pair is left in `name`.
std::wstring ForwardedArguments(int argc, const wchar_t* const* argv, std::wstring& name) {
  std::wstring forwarded;
  for (int i = 1; i < argc; ++i) {
    std::wstring argument = argv[i];
    if (NamesExecutable(argument)) {
      if (i + 1 < argc) name = argv[++i];
      continue;
    }
    if (argument.starts_with(L"--")) {
      forwarded += NeedsQuoting(argument) ? QuoteArgument(argument) : argument + L" ";
      continue;
    }
    if (IsSilentShortcutLink(argument)) argument += product::kSilentLinkSuffix;
    forwarded += QuoteArgument(argument);
  }
  return forwarded;
}

// Opens the composed link of a local install or a context-menu search.
void LaunchComposedLink(const char* pattern, const std::wstring& value) {
  LaunchSchema(Utf8ToWide(fmt::format(fmt::runtime(pattern), UrlEncode(WideToUtf8(value)))));
}

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
  const std::wstring first = argv[1];
  if (argc == 2 && first.starts_with(kLinkScheme)) {
    LaunchSchema(first);
    return;
  }

  cmdline::parser dispatch;
  RegisterOptions(dispatch, kDispatchOptions);
  dispatch.parse(argc, argv);
  if (dispatch.is_given(option::kLocalInstall)) {
    LaunchComposedLink(kLocalInstallLink,
                       dispatch.get<std::wstring>(option::kLocalInstall).value_or(L""));
    return;
  }
  if (dispatch.is_given(option::kContextMenuSearch)) {
    LaunchComposedLink(
        kContextMenuSearchLink,
        PathExtension(dispatch.get<std::wstring>(option::kContextMenuSearch).value_or(L"")));
    return;
  }

  std::wstring name = FirstExecutableName(argc, argv);
  if (name == product::kEmulatorClientExe &&
      IsGlobalObjectPresent(product::kEmulatorClientMarker)) {
    // One walk of the process list serves the staleness test and the
    // foreground hand-off. Should the test end the client, the hand-off may
    // name a process that is gone; the send then fails all the same.
    const ProcessList processes = ProcessList::Take();
    if (!IsClientStale(processes) && NotifyCurrentKestova(LaunchOptions(), processes)) return;
  }
  if (name == product::kStoreClientExe && IsGlobalObjectPresent(product::kStoreClientMarker) &&
      NotifyCurrentStore()) {
    return;
  }
  if (name == product::kEmulatorClientExe && HasOemStopVmRequest()) return;

  std::wstring parameters = ForwardedArguments(argc, argv, name);
  if (dispatch.is_given(option::kPseudoProtocol) &&
      IsSilentShortcutLink(dispatch.get<std::wstring>(option::kPseudoProtocol).value_or(L""))) {
    parameters += kSilentArgument;
  }
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
