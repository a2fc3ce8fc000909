#include "install/install_layout.h"

#include <windows.h>
#include <shlwapi.h>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <filesystem>
#include <vector>

#include "install/registry.h"
#include "system/process_info.h"
#include "system/product_name.h"

namespace {

constexpr wchar_t kPlaceholderVersion[] = L"1.0.0.0";
constexpr char kUnknownFileVersion[] = "1.0.0.0";
constexpr const wchar_t* kVersionExecutables[] = {L"KestovaStore.exe", L"Kestova.exe",
                                                  L"KestovaSvr.exe"};

std::wstring Join(std::wstring_view first, std::wstring_view second) {
  return fmt::format(L"{}\\{}", first, second);
}

const wchar_t* ComponentName(ComponentKind kind) {
  switch (kind) {
    case ComponentKind::Kestova: return product::kProductName;
    case ComponentKind::Image: return L"Image";
    case ComponentKind::QletRuntime: return L"QletRuntime";
    case ComponentKind::Brevik: return L"Brevik";
    case ComponentKind::ZebApplet: return L"ZebApplet";
    case ComponentKind::Other:
    case ComponentKind::KestovaBox: break;
  }
  return nullptr;
}

std::wstring EnsuredUnlessEmpty(std::wstring path) {
  // A folder that cannot be made is still where the product expects it; the
  // caller's own use of the path reports the failure.
  if (!path.empty()) static_cast<void>(EnsureDirectory(path));
  return path;
}

}  // namespace

bool MarkFlag::IsSet() const { return ReadRegQword(key, name) != 0; }

InstallLayout& InstallLayout::Instance() {
  static InstallLayout layout;
  return layout;
}

void InstallLayout::Init(std::wstring_view product_name) {
  box_key_ = Join(L"SOFTWARE", L"KestovaBox");
  const std::wstring vendor_part = Join(product::kVendorName, product_name);
  product_key_ = Join(L"SOFTWARE", vendor_part);
  default_install_dir_ = Join(ProgramFilesDir(), vendor_part);
}

std::wstring InstallLayout::RegistryKeyFor(ComponentKind kind) const {
  if (kind == ComponentKind::KestovaBox) return box_key_;
  const wchar_t* name = ComponentName(kind);
  return name == nullptr ? product_key_ : Join(product_key_, name);
}

std::wstring InstallLayout::EnvKey() const { return Join(product_key_, L"Env"); }

std::wstring InstallLayout::InstallPath() const {
  const std::wstring path =
      ReadRegString(HKEY_LOCAL_MACHINE, product_key_, L"InstallPath", default_install_dir_);
  return EnsuredUnlessEmpty(path);
}

std::wstring InstallLayout::ApplicationDir() const {
  return EnsuredUnlessEmpty(Join(InstallPath(), L"Application"));
}

std::wstring InstallLayout::ComponentVersion(ComponentKind kind) const {
  const std::wstring key = RegistryKeyFor(kind);
  const std::wstring user_version =
      ReadRegString(HKEY_CURRENT_USER, key, L"Version", kPlaceholderVersion);
  if (user_version != kPlaceholderVersion) return user_version;
  return ReadRegString(HKEY_LOCAL_MACHINE, key, L"Version", kPlaceholderVersion);
}

std::wstring InstallLayout::ProductVersion() const {
  return ComponentVersion(ComponentKind::Other);
}

std::wstring InstallLayout::VersionedApplicationDir() const {
  return EnsuredUnlessEmpty(Join(ApplicationDir(), ComponentVersion(ComponentKind::Kestova)));
}

std::wstring InstallLayout::TempVendorDir() const {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  const std::filesystem::path folder =
      std::filesystem::path(std::wstring(temp, length > MAX_PATH ? 0 : length)) /
      product::kVendorName;
  return EnsuredUnlessEmpty(folder.wstring());
}

std::wstring InstallLayout::TempProductDir() const {
  return EnsuredUnlessEmpty(
      (std::filesystem::path(TempVendorDir()) / product::kProductName / L"").wstring());
}

bool InstallLayout::IsVersionComplete(const std::wstring& version) const {
  const std::wstring folder = Join(ApplicationDir(), version);
  if (!PathFileExistsW(folder.c_str())) return false;
  for (const wchar_t* executable : kVersionExecutables) {
    if (!PathFileExistsW(Join(folder, executable).c_str())) return false;
  }
  return true;
}

bool InstallLayout::CommitVersion(const std::wstring& version) const {
  if (!IsVersionComplete(version)) return false;
  const std::wstring key = RegistryKeyFor(ComponentKind::Kestova);
  // A user without rights on the machine hive still records the version.
  // An ordinary user may not write the machine's key; readers take the
  // user's value first, so that write alone decides.
  static_cast<void>(WriteRegString(HKEY_LOCAL_MACHINE, key, L"Version", version));
  return WriteRegString(HKEY_CURRENT_USER, key, L"Version", version);
}

MarkFlag InstallLayout::Mark(std::wstring name) const {
  return MarkFlag{std::move(name), Join(product_key_, L"Mark")};
}

std::string FileVersionOf(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return kUnknownFileVersion;
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return kUnknownFileVersion;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT info_size = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) ||
      info == nullptr || info_size < sizeof(VS_FIXEDFILEINFO)) {
    return kUnknownFileVersion;
  }
  return fmt::format("{}.{}.{}.{}", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                     HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
}

std::string OwnFileVersion() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<const wchar_t*>(&OwnFileVersion), &module)) {
    return kUnknownFileVersion;
  }
  const std::wstring path = ModuleFilePath(module);
  if (path.empty()) return kUnknownFileVersion;
  return FileVersionOf(path);
}
