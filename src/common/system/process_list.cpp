#include "system/process_list.h"

#include <tlhelp32.h>

#include <algorithm>
#include <span>
#include <string>

#include "system/privileges.h"
#include "system/process_info.h"
#include "system/process_kill.h"
#include "system/text.h"
#include "system/unique_resource.h"

// The lookups and the kill share one walk of the system's process list.
namespace {

constexpr DWORD kTerminateWaitMs = 5000;

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::string AsciiLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

bool ImageMatchesFilter(const std::wstring& image, std::wstring_view filter) {
  if (filter.empty() || image.empty()) return true;
  return AsciiLower(WideToUtf8(image)).find(AsciiLower(WideToUtf8(filter))) != std::string::npos;
}

// Calls visit for each process entry from the first, until it returns false.
// Returns the system error when the walk cannot start.
template <typename Visit>
DWORD WalkProcesses(Visit visit) {
  base::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return GetLastError();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.get(), &entry)) return GetLastError();
  do {
    if (!visit(entry)) break;
  } while (Process32NextW(snapshot.get(), &entry));
  return ERROR_SUCCESS;
}

}  // namespace

ProcessList ProcessList::Take() {
  ProcessList list;
  WalkProcesses([&](const PROCESSENTRY32W& entry) {
    list.entries_.push_back({entry.th32ProcessID, entry.szExeFile});
    return true;
  });
  return list;
}

std::vector<DWORD> ProcessList::VmWorkerIds() const {
  std::vector<DWORD> ids;
  for (const Entry& entry : entries_) {
    if (entry.name == L"vmwp.exe") ids.push_back(entry.id);
  }
  return ids;
}

DWORD ProcessList::FindIdByName(std::wstring_view name) const {
  if (entries_.empty()) return 0;
  for (const Entry& entry : std::span(entries_).subspan(1)) {
    if (EqualIgnoringCase(entry.name, name)) return entry.id;
  }
  return 0;
}

std::vector<DWORD> FindVmWorkerProcessIds() { return ProcessList::Take().VmWorkerIds(); }

DWORD FindProcessIdByName(std::wstring_view name) { return ProcessList::Take().FindIdByName(name); }

bool TerminateAndConfirm(HANDLE process) {
  if (TerminateProcess(process, 0)) {
    return WaitForSingleObject(process, kTerminateWaitMs) == WAIT_OBJECT_0;
  }
  DWORD exit_code = STILL_ACTIVE;
  return GetExitCodeProcess(process, &exit_code) && exit_code != STILL_ACTIVE;
}

DWORD KillProcesses(std::span<const std::wstring_view> names, std::wstring_view image_filter,
                    DWORD excluded_process_id, const KillCallback& callback) {
  ScopedDebugPrivilege privilege;
  return WalkProcesses([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ProcessID == excluded_process_id) return true;
    const bool named = std::any_of(names.begin(), names.end(), [&](std::wstring_view name) {
      return EqualIgnoringCase(entry.szExeFile, name);
    });
    if (!named) return true;
    base::KernelHandle process(OpenProcess(
        SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) return true;
    const std::wstring image = ProcessImagePath(process.get());
    if (!ImageMatchesFilter(image, image_filter)) return true;
    const bool ended = TerminateAndConfirm(process.get());
    if (callback) callback(image, ended);
    return true;
  });
}

DWORD base::system::KillProcess(std::wstring_view name, std::wstring_view image_filter,
                                DWORD excluded_process_id) {
  const std::wstring_view names[] = {name};
  return KillProcesses(names, image_filter, excluded_process_id, nullptr);
}
