#pragma once

#include <windows.h>

// Enables or disables one privilege of the own token; failures are silent.
void SetPrivilege(bool enable, const wchar_t* privilege_name);

// Whether the own token is elevated (false when it cannot be read).
bool IsElevated();

// SeDebugPrivilege for the lifetime of one operation, dropped on every path.
class ScopedDebugPrivilege {
 public:
  ScopedDebugPrivilege();
  ~ScopedDebugPrivilege();
  ScopedDebugPrivilege(const ScopedDebugPrivilege&) = delete;
  ScopedDebugPrivilege& operator=(const ScopedDebugPrivilege&) = delete;
};
