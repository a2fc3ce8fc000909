#pragma once

#include <windows.h>

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
