#include "system/named_objects.h"

#include <windows.h>

#include <fmt/format.h>

#include "system/security.h"
#include "system/text.h"
#include "system/unique_resource.h"

MutexPresence ProbeMutex(const std::wstring& name) {
  const base::KernelHandle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
  if (mutex) return MutexPresence::kOpened;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND: return MutexPresence::kAbsent;
    case ERROR_ACCESS_DENIED: return MutexPresence::kRefused;
    default: return MutexPresence::kUnprobed;
  }
}

bool IsGlobalObjectPresent(std::string_view name) {
  const std::wstring full_name = Utf8ToWide(fmt::format("Global\\{}", name));
  // A name that is there but not ours to open, or not a mutex, is present.
  if (ProbeMutex(full_name) != MutexPresence::kAbsent) return true;
  base::KernelHandle probe(CreateMutexW(EveryoneSecurityAttributes(), TRUE, full_name.c_str()));
  const bool present = GetLastError() == ERROR_ALREADY_EXISTS;
  if (probe) ReleaseMutex(probe.get());
  return present;
}
