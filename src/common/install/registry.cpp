#include "install/registry.h"

#include <shlobj.h>

#include <filesystem>
#include <vector>

#include "system/unique_resource.h"

namespace {

base::RegKey OpenKey(HKEY hive, const std::wstring& sub_key, REGSAM access) {
  base::RegKey key;
  if (RegOpenKeyExW(hive, sub_key.c_str(), 0, access | KEY_WOW64_64KEY, key.put()) !=
      ERROR_SUCCESS) {
    return {};
  }
  return key;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

std::wstring ReadRegString(HKEY hive, const std::wstring& sub_key, const std::wstring& name,
                           const std::wstring& default_value) {
  const base::RegKey key = OpenKey(hive, sub_key, KEY_READ);
  if (!key) return default_value;
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      !IsStringType(type) || bytes / sizeof(wchar_t) == 0) {
    return default_value;
  }
  std::vector<wchar_t> text(bytes / sizeof(wchar_t), L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(text.data()), &bytes) != ERROR_SUCCESS ||
      !IsStringType(type)) {
    return default_value;
  }
  if (bytes == 0) return {};
  if (bytes % sizeof(wchar_t) != 0 || text[bytes / sizeof(wchar_t) - 1] != L'\0') {
    return default_value;
  }
  return std::wstring(text.data());
}

uint64_t ReadRegQword(const std::wstring& sub_key, const std::wstring& name) {
  const base::RegKey key = OpenKey(HKEY_CURRENT_USER, sub_key, KEY_READ);
  if (!key) return 0;
  uint64_t value = 0;
  DWORD type = 0;
  DWORD bytes = sizeof(value);
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_QWORD) {
    return 0;
  }
  return value;
}

bool WriteRegString(HKEY hive, const std::wstring& sub_key, const std::wstring& name,
                    const std::wstring& value) {
  base::RegKey key = OpenKey(hive, sub_key, KEY_WRITE);
  if (!key && RegCreateKeyExW(hive, sub_key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.put(),
                              nullptr) != ERROR_SUCCESS) {
    key = OpenKey(hive, sub_key, KEY_WRITE);
  }
  if (!key) return false;
  if (name.empty() && value.empty()) return true;
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
}

namespace {

// The one call that deletes the key behind a handle, so that a key opened as
// a link is removed itself instead of the key it points to.
bool DeleteOpenKey(HKEY key) {
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  static const NtDeleteKeyFn delete_key = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void (*)()>(
                                  GetProcAddress(ntdll, "NtDeleteKey")));
  }();
  return delete_key != nullptr && delete_key(key) >= 0;
}

// Opens parent\name as itself even when it is a registry link: following a
// link whose target is gone reports "not found" while the link stays, and the
// enumeration would hand it back for ever.
bool DeleteTree(HKEY parent, const std::wstring& name) {
  base::RegKey key;
  const LSTATUS opened = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK,
                                       KEY_READ | DELETE | KEY_WOW64_64KEY, key.put());
  if (opened != ERROR_SUCCESS) return opened == ERROR_FILE_NOT_FOUND;
  std::wstring deleted;
  for (;;) {
    wchar_t child[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    const LSTATUS listed =
        RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    // A sub-key that comes back after its deletion was reported would be
    // deleted again and again.
    if (listed != ERROR_SUCCESS || deleted == child) return false;
    if (!DeleteTree(key.get(), child)) return false;
    deleted = child;
  }
  return DeleteOpenKey(key.get());
}

}  // namespace

bool DeleteRegKeyTree(const std::wstring& sub_key) {
  if (RegDeleteKeyExW(HKEY_LOCAL_MACHINE, sub_key.c_str(), KEY_WOW64_64KEY, 0) == ERROR_SUCCESS) {
    return true;
  }
  return DeleteTree(HKEY_LOCAL_MACHINE, sub_key);
}

std::optional<std::wstring> KnownFolderPath(int csidl) {
  wchar_t path[1024] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return std::nullopt;
  }
  return std::wstring(path);
}

std::wstring ProgramFilesDir() {
  return KnownFolderPath(CSIDL_PROGRAM_FILES).value_or(L"C:\\Program Files");
}

bool EnsureDirectory(const std::wstring& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!error && std::filesystem::exists(status)) return true;
  return std::filesystem::create_directories(path, error);
}
