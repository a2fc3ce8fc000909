#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One look at the running processes. A walk of the system's process list is
// costly under load; lookups that share a list pay for one walk and see the
// same moment.
class ProcessList {
 public:
  // Empty when the snapshot cannot be taken.
  static ProcessList Take();

  // Identifiers of every process named exactly "vmwp.exe" (case-sensitive),
  // in snapshot order.
  std::vector<DWORD> VmWorkerIds() const;
  // The first process whose executable name matches, ignoring case; 0 if
  // none. The list's head (the idle process) is never a candidate.
  DWORD FindIdByName(std::wstring_view name) const;

 private:
  struct Entry {
    DWORD id;
    std::wstring name;
  };
  std::vector<Entry> entries_;
};

// The same lookups, each on a list of its own.
std::vector<DWORD> FindVmWorkerProcessIds();
DWORD FindProcessIdByName(std::wstring_view name);

// Account and domain the process runs as. S_OK, or E_FAIL for any failure
// (outputs untouched when the process cannot be opened).
HRESULT GetProcessUser(DWORD process_id, std::wstring& user, std::wstring& domain);

// Told of every process that the kill tried to end: its image path, and
// whether it is gone.
using KillCallback = std::function<void(const std::filesystem::path& image, bool ended)>;

// Ends every process whose name is in the list (ignoring case), except the
// excluded one. A non-empty filter limits it to processes whose image path
// contains the filter, ignoring ASCII case. Returns 0 once the process list
// could be walked, else the system error; it does not say whether any process
// was ended.
DWORD KillProcesses(std::span<const std::wstring_view> names, std::wstring_view image_filter,
                    DWORD excluded_process_id, const KillCallback& callback);

namespace base::system {
// KillProcesses for one name, without a callback.
DWORD KillProcess(std::wstring_view name, std::wstring_view image_filter,
                  DWORD excluded_process_id);
}  // namespace base::system

// Terminates the process and tells whether it is gone: ended within five
// seconds, or had already ended by itself.
bool TerminateAndConfirm(HANDLE process);

// Enables or disables one privilege of the own token; failures are silent.
void SetPrivilege(bool enable, const wchar_t* privilege_name);

// Full Win32 path of the process's executable, or empty.
std::wstring ProcessImagePath(HANDLE process);

// Creation time of the own process in ms since 1970-01-01 UTC, or 0.
uint64_t ProcessStartTimeMs();

bool IsElevated();
// The whole path of a loaded module (this executable for null), however
// long; empty on failure.
std::wstring ModuleFilePath(HMODULE module);
std::wstring OwnExecutablePath();

// A new GUID as 36 upper-case characters without braces.
std::string NewGuidText();

// Whether some process holds the mutex "Global\" + name. Answers true when
// the name exists but cannot be opened.
bool IsGlobalObjectPresent(std::string_view name);

// The most characters a process's command line holds, its NUL included.
inline constexpr std::size_t kCommandLineLimit = 32767;

// Characters of the command line the shell builds for a program: the quoted
// file, a blank, the parameters and the NUL.
std::size_t ShellCommandLineLength(const std::wstring& file, const std::wstring& parameters);

// Opens a program or document through the shell ("open" verb, no error UI).
// 0, or the system error when the shell refused. A command line longer than
// kCommandLineLimit starts nothing (ERROR_FILENAME_EXCED_RANGE): the shell
// would start it cut short, an argument left open and the last ones lost.
[[nodiscard]] DWORD ShellOpen(const std::wstring& file, const std::wstring& parameters,
                              const std::wstring& directory);
