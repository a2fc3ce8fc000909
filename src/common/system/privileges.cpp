#include "system/privileges.h"

#include "system/unique_resource.h"

namespace {

constexpr wchar_t kDebugPrivilege[] = L"SeDebugPrivilege";

}  // namespace

ScopedDebugPrivilege::ScopedDebugPrivilege() { SetPrivilege(true, kDebugPrivilege); }

ScopedDebugPrivilege::~ScopedDebugPrivilege() { SetPrivilege(false, kDebugPrivilege); }

void SetPrivilege(bool enable, const wchar_t* privilege_name) {
  base::KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) return;
  TOKEN_PRIVILEGES privileges{};
  if (!LookupPrivilegeValueW(nullptr, privilege_name, &privileges.Privileges[0].Luid)) return;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
}

bool IsElevated() {
  base::KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
         size == sizeof(elevation) && elevation.TokenIsElevated != 0;
}
