#pragma once

// Command-line option names that partners, shortcuts and the product's own
// processes pass to the launcher; renaming one breaks those callers.
namespace option {
inline constexpr wchar_t kLaunchPkgName[] = L"launch-pkg-name";
inline constexpr wchar_t kAppLaunchInfo[] = L"app-launch-info";
inline constexpr wchar_t kFrom[] = L"from";
inline constexpr wchar_t kLaunchDeepLink[] = L"launch-deep-link";
inline constexpr wchar_t kLaunchExtraData[] = L"launch-extra-data";
inline constexpr wchar_t kFromSource[] = L"from-source";
inline constexpr wchar_t kInstallAppInfo[] = L"install-app-info";
inline constexpr wchar_t kQuit[] = L"quit";
inline constexpr wchar_t kOem[] = L"oem";
inline constexpr wchar_t kOemStartVm[] = L"oem-start-vm";
inline constexpr wchar_t kOemStopVm[] = L"oem-stop-vm";
inline constexpr wchar_t kInstallPkgName[] = L"install-pkg-name";
inline constexpr wchar_t kInstallFilePath[] = L"install-file-path";
inline constexpr wchar_t kLaunchTvSeries[] = L"launch-tv-series";
inline constexpr wchar_t kLocalInstall[] = L"local-install";
inline constexpr wchar_t kPseudoProtocol[] = L"pseudo-protocol";
inline constexpr wchar_t kContextMenuSearch[] = L"context-menu-search";
inline constexpr wchar_t kSilent[] = L"silent";
}  // namespace option
