#include "system/process_info.h"

#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "system/file_time.h"
#include "system/privileges.h"
#include "system/unique_resource.h"

namespace {

constexpr ULONG kProcessImageFileNameWin32 = 43;

using NtQueryInformationProcessFn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

NtQueryInformationProcessFn ResolveNtQueryInformationProcess() {
  static const NtQueryInformationProcessFn entry = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) ntdll = LoadLibraryW(L"ntdll.dll");  // stays loaded with the process
    return ntdll == nullptr
               ? nullptr
               : reinterpret_cast<NtQueryInformationProcessFn>(reinterpret_cast<void (*)()>(
                     GetProcAddress(ntdll, "NtQueryInformationProcess")));
  }();
  return entry;
}

}  // namespace

HRESULT GetProcessUser(DWORD process_id, std::wstring& user, std::wstring& domain) {
  ScopedDebugPrivilege privilege;
  base::KernelHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, process_id));
  if (!process) return E_FAIL;
  base::KernelHandle token;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return E_FAIL;
  user.clear();
  domain.clear();

  DWORD size = 0;
  if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return E_FAIL;
  }
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return E_FAIL;

  wchar_t name[256] = {};
  wchar_t domain_name[256] = {};
  DWORD name_length = 256;
  DWORD domain_length = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, name,
                         &name_length, domain_name, &domain_length, &use)) {
    return E_FAIL;
  }
  user = name;
  domain = domain_name;
  return S_OK;
}

std::wstring ProcessImagePath(HANDLE process) {
  const NtQueryInformationProcessFn query = ResolveNtQueryInformationProcess();
  if (query == nullptr) return {};
  ULONG size = 0;
  const NTSTATUS probe = query(process, kProcessImageFileNameWin32, nullptr, 0, &size);
  constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005);
  constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
  constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
  if (probe != kBufferOverflow && probe != kBufferTooSmall && probe != kLengthMismatch) return {};
  if (size < sizeof(UNICODE_STRING)) return {};
  std::vector<BYTE> buffer(size);
  if (query(process, kProcessImageFileNameWin32, buffer.data(), size, &size) != 0) return {};
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
  if (name->Buffer == nullptr) return {};
  // The counted text lies inside the buffer; never read past either bound.
  const size_t available =
      (buffer.data() + buffer.size() - reinterpret_cast<const BYTE*>(name->Buffer)) /
      sizeof(wchar_t);
  const size_t length = std::min<size_t>(name->Length / sizeof(wchar_t), available);
  const std::wstring_view text(name->Buffer, length);
  return std::wstring(text.substr(0, text.find(L'\0')));
}

uint64_t ProcessStartTimeMs() {
  static std::atomic<uint64_t> cached{0};
  if (const uint64_t known = cached.load(); known != 0) return known;
  FILETIME creation, exit, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
  const uint64_t units =
      (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  const uint64_t ms = (units - kFileTimeUnitsBefore1970) / 10000;
  cached = ms;
  return ms;
}

std::wstring ModuleFilePath(HMODULE module) {
  // A path that fills the buffer comes back cut and without its NUL, so the
  // buffer grows until the whole path fits; the system stops at 32,767.
  constexpr DWORD kLongestPath = 32767;
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(module, path.data(), size);
    if (length == 0) return {};
    if (length < size) {
      path.resize(length);
      return path;
    }
    if (size > kLongestPath) return {};
    path.resize(std::min<DWORD>(size * 2, kLongestPath + 1));
  }
}

std::wstring OwnExecutablePath() { return ModuleFilePath(nullptr); }
