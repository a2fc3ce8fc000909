#include "launch_request.h"

#include <fmt/format.h>

#include "launcher/option_names.h"
#include "launcher/product_contract.h"
#include "link_text.h"
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

// The started process's runtime splits its command line at blanks and tabs
// outside double quotes, so an option holding either, or a double quote,
// would arrive as other arguments than were given. Every other option stays
// raw: peers match "--name" and "--name=value" forms as written.
bool NeedsQuoting(std::wstring_view option) {
  return option.find_first_of(L" \t\n\v\f\r\"") != std::wstring_view::npos;
}

bool IsSilentShortcutLink(std::wstring_view text, bool (*is_silent_marked)()) {
  return StartsWith(text, product::kShortcutLinkPrefix) && is_silent_marked();
}

std::wstring ComposedLink(const char* pattern, const std::wstring& value) {
  return Utf8ToWide(fmt::format(fmt::runtime(pattern), UrlEncode(WideToUtf8(value))));
}

std::wstring ValueOf(const cmdline::parser& options, const wchar_t* name) {
  return options.get<std::wstring>(name).value_or(L"");
}

}  // namespace

std::optional<std::wstring> LinkToOpen(cmdline::ArgumentList arguments,
                                       const cmdline::parser& dispatch) {
  if (arguments.size() == 2 && std::wstring_view(arguments[1]).starts_with(kLinkScheme)) {
    return arguments[1];
  }
  if (dispatch.is_given(option::kLocalInstall)) {
    return ComposedLink(kLocalInstallLink, ValueOf(dispatch, option::kLocalInstall));
  }
  if (dispatch.is_given(option::kContextMenuSearch)) {
    return ComposedLink(kContextMenuSearchLink,
                        PathExtension(ValueOf(dispatch, option::kContextMenuSearch)));
  }
  return std::nullopt;
}

std::wstring FirstExecutableName(cmdline::ArgumentList arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (NamesExecutable(arguments[i])) return i + 1 < arguments.size() ? arguments[i + 1] : L"";
  }
  return L"";
}

std::wstring ForwardedArguments(cmdline::ArgumentList arguments, const cmdline::parser& dispatch,
                                std::wstring& name, bool (*is_silent_marked)()) {
  std::wstring forwarded;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::wstring argument = arguments[i];
    if (NamesExecutable(argument)) {
      if (i + 1 < arguments.size()) name = arguments[++i];
      continue;
    }
    if (argument.starts_with(L"--")) {
      forwarded += NeedsQuoting(argument) ? QuoteArgument(argument) : argument + L" ";
      continue;
    }
    if (IsSilentShortcutLink(argument, is_silent_marked)) argument += product::kSilentLinkSuffix;
    forwarded += QuoteArgument(argument);
  }
  if (dispatch.is_given(option::kPseudoProtocol) &&
      IsSilentShortcutLink(ValueOf(dispatch, option::kPseudoProtocol), is_silent_marked)) {
    forwarded += kSilentArgument;
  }
  return forwarded;
}
