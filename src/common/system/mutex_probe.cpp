#include "system/mutex_probe.h"

#include <windows.h>

#include "system/unique_resource.h"

MutexPresence ProbeMutex(const std::wstring& name) {
  const base::KernelHandle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
  if (mutex) return MutexPresence::kOpened;
  return GetLastError() == ERROR_FILE_NOT_FOUND ? MutexPresence::kAbsent : MutexPresence::kRefused;
}
