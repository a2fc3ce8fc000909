// Plays a product process (or a Hyper-V worker) in tests: it is copied under
// the name a test needs and started for real.
//   --record FILE     write the command line and working folder (UTF-8) to FILE
//   --hold-mutex NAME create and hold a named mutex
//   --signal EVENT    set a named event once the steps above are done
//   --wait EVENT      then stay until EVENT is set (two minutes at most)
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "system/unique_resource.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
  return result;
}

bool Record(const wchar_t* file) {
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  const std::string content = ToUtf8(GetCommandLineW()) + "\n" + ToUtf8(folder) + "\n";
  const base::FileHandle handle(
      CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return handle && WriteFile(handle.get(), content.data(), static_cast<DWORD>(content.size()),
                             &written, nullptr);
}

}  // namespace

int wmain() {
  int count = 0;
  const base::LocalMemory<wchar_t*> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  base::KernelHandle held_mutex;
  const wchar_t* signal = nullptr;
  const wchar_t* wait = nullptr;
  for (int i = 1; i + 1 < count; i += 2) {
    const std::wstring option = arguments.get()[i];
    const wchar_t* value = arguments.get()[i + 1];
    if (option == L"--record" && !Record(value)) return 2;
    if (option == L"--hold-mutex") held_mutex.reset(CreateMutexW(nullptr, TRUE, value));
    if (option == L"--signal") signal = value;
    if (option == L"--wait") wait = value;
  }
  if (signal != nullptr) {
    const base::KernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, signal));
    if (!event) return 3;
    SetEvent(event.get());
  }
  if (wait != nullptr) {
    const base::KernelHandle event(OpenEventW(SYNCHRONIZE, FALSE, wait));
    if (!event) return 4;
    WaitForSingleObject(event.get(), 120000);
  }
  return 0;
}
