#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

// Registry and folder helpers. Every registry access uses the 64-bit view.

// What the product's installer writes in place of a value it does not know,
// and what readers pass as the default so that "absent" reads the same.
inline constexpr wchar_t kRegAbsentMarker[] = L"DEFAULT_VALUE";

// A REG_SZ or REG_EXPAND_SZ value (not expanded). The default when the key or
// value is missing, of another type, of odd size or not NUL-terminated; a
// present empty string is returned as empty.
std::wstring ReadRegString(HKEY hive, const std::wstring& sub_key, const std::wstring& name,
                           const std::wstring& default_value);

// A REG_QWORD value under HKEY_CURRENT_USER, or 0.
uint64_t ReadRegQword(const std::wstring& sub_key, const std::wstring& name);

// Writes a REG_SZ value, creating the key when missing. An empty name with an
// empty value only makes sure the key exists.
[[nodiscard]] bool WriteRegString(HKEY hive, const std::wstring& sub_key, const std::wstring& name,
                                  const std::wstring& value);

// Deletes a key of HKEY_LOCAL_MACHINE with everything under it; true also
// when it did not exist.
[[nodiscard]] bool DeleteRegKeyTree(const std::wstring& sub_key);

// A CSIDL folder's current path, or nothing when the shell cannot say.
std::optional<std::wstring> KnownFolderPath(int csidl);

// The Program Files folder, or "C:\Program Files".
std::wstring ProgramFilesDir();

// True when the path exists (as anything) or could be created as a folder.
[[nodiscard]] bool EnsureDirectory(const std::wstring& path);
