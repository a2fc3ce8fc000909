#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Account and domain the process runs as. S_OK, or E_FAIL for any failure
// (outputs untouched when the process cannot be opened).
[[nodiscard]] HRESULT GetProcessUser(DWORD process_id, std::wstring& user, std::wstring& domain);

// Full Win32 path of the process's executable, or empty.
std::wstring ProcessImagePath(HANDLE process);

// Creation time of the own process in ms since 1970-01-01 UTC, or 0.
uint64_t ProcessStartTimeMs();

// The whole path of a loaded module (this executable for null), however
// long; empty on failure.
std::wstring ModuleFilePath(HMODULE module);
std::wstring OwnExecutablePath();
