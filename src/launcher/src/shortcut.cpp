#include "shortcut.h"

#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>

#include "install/install_layout.h"
#include "launcher/forwarding.h"
#include "launcher/launch_records.h"
#include "launcher/option_names.h"
#include "system/quoting.h"
#include "system/text.h"

namespace {

// Mark flags, set by other product components.
constexpr wchar_t kSdkMark[] = L"mbrix.sdk.mark";
constexpr wchar_t kDesktopLinkMark[] = L"mbrix.sdk.desktop_link.mark";
constexpr wchar_t kTrayHiddenMark[] = L"mbrix.sdk.break.trayhidden.mark";

// The runtime's wide-to-unsigned conversion, which the store's other callers
// use for the same text: leading blanks, one sign (a minus wraps around),
// trailing text ignored. Nothing without a digit or beyond 64 bits.
std::optional<std::int32_t> ParseSource(const std::wstring& text) {
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long number = std::wcstoull(begin, &end, 10);
  if (end == begin || errno == ERANGE) return std::nullopt;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

}  // namespace

bool IsSilentShortcutMarked() {
  const InstallLayout& layout = InstallLayout::Instance();
  return layout.Mark(kSdkMark).IsSet() && !layout.Mark(kDesktopLinkMark).IsSet() &&
         !layout.Mark(kTrayHiddenMark).IsSet();
}

bool NotifyCurrentStore(const cmdline::parser& options) {
  const bool silent = options.is_given(option::kSilent);
  std::wstring link;
  if (options.is_given(option::kPseudoProtocol)) {
    link = options.get<std::wstring>(option::kPseudoProtocol).value_or(L"");
  }
  if (!link.empty()) {
    if (IsSilentShortcutMarked() && StartsWith(link, product::kShortcutLinkPrefix)) {
      link += product::kSilentLinkSuffix;
    }
    return ForwardToClient(product::kStoreClientModule, product::Message::StoreLink,
                           LinkContent{WideToUtf8(link)});
  }
  if (silent) return true;

  StoreActivateInfo info;
  if (options.is_given(option::kFrom)) {
    info.source = ParseSource(options.get<std::wstring>(option::kFrom).value_or(L""));
  }
  return ForwardToClient(product::kStoreClientModule, product::Message::StoreActivate, info);
}
