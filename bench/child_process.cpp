#include "child_process.h"

#include <windows.h>

namespace bench {

base::KernelHandle StartSelf(const std::wstring& arguments,
                             const std::optional<std::filesystem::path>& output) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  base::FileHandle streams(output ? CreateFileW(output->c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                &inheritable, CREATE_ALWAYS, 0, nullptr)
                                  : CreateFileW(L"NUL", GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                                OPEN_EXISTING, 0, nullptr));
  std::wstring command_line = L"\"" + std::wstring(self) + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = streams.get();
  startup.hStdError = streams.get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(self, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    // Kept for the caller's report past the closing of the streams' file.
    const DWORD error = GetLastError();
    streams.reset();
    SetLastError(error);
    return {};
  }
  const base::KernelHandle thread(info.hThread);
  return base::KernelHandle(info.hProcess);
}

}  // namespace bench
