#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

// Told of every process that the kill tried to end: its image path, and
// whether it is gone.
using KillCallback = std::function<void(const std::filesystem::path& image, bool ended)>;

// Ends every process whose name is in the list (ignoring case), except the
// excluded one. A non-empty filter limits it to processes whose image path
// contains the filter, ignoring ASCII case. Returns 0 once the process list
// could be walked, else the system error; it does not say whether any process
// was ended.
[[nodiscard]] DWORD KillProcesses(std::span<const std::wstring_view> names,
                                  std::wstring_view image_filter, DWORD excluded_process_id,
                                  const KillCallback& callback);

namespace base::system {
// KillProcesses for one name, without a callback.
[[nodiscard]] DWORD KillProcess(std::wstring_view name, std::wstring_view image_filter,
                                DWORD excluded_process_id);
}  // namespace base::system

// Terminates the process and tells whether it is gone: ended within five
// seconds, or had already ended by itself.
[[nodiscard]] bool TerminateAndConfirm(HANDLE process);
