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
#include "system/process.h"
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

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsAsciiAlphanumeric(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

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
      forwarded += argument + L" ";
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

std::string UrlEncode(std::string_view text) {
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAsciiAlphanumeric(byte)) {
      encoded.push_back(c);
    } else if (IsBlank(byte)) {
      encoded.push_back('+');
    } else {
      encoded += fmt::format("%{:02X}", byte);
    }
  }
  return encoded;
}

std::wstring PathExtension(std::wstring_view path) {
  const size_t separator = path.find_last_of(L"\\/");
  std::wstring_view name = separator == std::wstring_view::npos ? path : path.substr(separator + 1);
  if (separator == std::wstring_view::npos && name.size() >= 2 && name[1] == L':') {
    name.remove_prefix(2);
  }
  name = name.substr(0, name.find(L':'));
  if (name.size() < 2 || name == L"..") return L"";
  if (name.back() == L'.') return L".";
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring_view::npos || dot == 0) return L"";
  return std::wstring(name.substr(dot));
}

bool IsBareFileName(std::wstring_view name) {
  return name.find_first_of(L"\\/:") == std::wstring_view::npos && name != L"." && name != L"..";
}

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
      IsGlobalObjectPresent(product::kEmulatorClientMarker) && !IsClientStale() &&
      NotifyCurrentKestova(LaunchOptions())) {
    return;
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
  ShellOpen(executable, parameters, folder);
}
