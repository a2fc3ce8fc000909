#include "system/process.h"

#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>

#include "system/file_time.h"
#include "system/security.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

constexpr wchar_t kDebugPrivilege[] = L"SeDebugPrivilege";
constexpr DWORD kTerminateWaitMs = 5000;
constexpr ULONG kProcessImageFileNameWin32 = 43;

// SeDebugPrivilege for the lifetime of one operation, dropped on every path.
class ScopedDebugPrivilege {
 public:
  ScopedDebugPrivilege() { SetPrivilege(true, kDebugPrivilege); }
  ~ScopedDebugPrivilege() { SetPrivilege(false, kDebugPrivilege); }
  ScopedDebugPrivilege(const ScopedDebugPrivilege&) = delete;
  ScopedDebugPrivilege& operator=(const ScopedDebugPrivilege&) = delete;
};

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

void SetPrivilege(bool enable, const wchar_t* privilege_name) {
  base::KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) return;
  TOKEN_PRIVILEGES privileges{};
  if (!LookupPrivilegeValueW(nullptr, privilege_name, &privileges.Privileges[0].Luid)) return;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
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

bool IsElevated() {
  base::KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
         size == sizeof(elevation) && elevation.TokenIsElevated != 0;
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

std::string NewGuidText() {
  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) guid = GUID{};
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                     guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                     guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                     guid.Data4[7]);
}

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

std::size_t ShellCommandLineLength(const std::wstring& file, const std::wstring& parameters) {
  return file.size() + 3 + parameters.size() + 1;
}

DWORD ShellOpen(const std::wstring& file, const std::wstring& parameters,
                const std::wstring& directory) {
  if (ShellCommandLineLength(file, parameters) > kCommandLineLimit) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) ? ERROR_SUCCESS : GetLastError();
}
