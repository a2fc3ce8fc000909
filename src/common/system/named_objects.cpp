#include "system/named_objects.h"

#include <windows.h>

#include <fmt/format.h>

#include "system/security.h"
#include "system/unique_resource.h"

bool IsGlobalObjectPresent(std::string_view name) {
  const std::string full_name = fmt::format("Global\\{}", name);
  base::KernelHandle existing(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, full_name.c_str()));
  if (existing) return true;
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return true;  // there, but not ours to open
  base::KernelHandle probe(CreateMutexA(EveryoneSecurityAttributes(), TRUE, full_name.c_str()));
  const bool present = GetLastError() == ERROR_ALREADY_EXISTS;
  if (probe) ReleaseMutex(probe.get());
  return present;
}
