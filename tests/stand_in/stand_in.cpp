// Plays a product process (or a Hyper-V worker) in tests: it is copied under
// the name a test needs and started for real.
//   --signal EVENT    set a named event once started
//   --wait EVENT      then stay until EVENT is set (two minutes at most)
// Started by a program under test, which passes it no options of ours, it
// records what it was given as its environment asks:
//   KESTOVA_STAND_IN_RECORD_DIR  record into DIR\<own file name>.txt
//   KESTOVA_STAND_IN_STARTED     set this named event after recording
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

std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

bool SetNamedEvent(const wchar_t* name) {
  const base::KernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
  return event && SetEvent(event.get());
}

// Recording (when asked for by the environment) comes first, so a test that
// sees the event finds the record complete.
int RecordForEnvironment() {
  const std::wstring folder = Environment(L"KESTOVA_STAND_IN_RECORD_DIR");
  if (folder.empty()) return 0;
  wchar_t image[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, image, MAX_PATH);
  const wchar_t* name = wcsrchr(image, L'\\');
  if (!Record((folder + L"\\" + (name != nullptr ? name + 1 : image) + L".txt").c_str())) return 5;
  const std::wstring started = Environment(L"KESTOVA_STAND_IN_STARTED");
  if (!started.empty() && !SetNamedEvent(started.c_str())) return 6;
  return 0;
}

}  // namespace

int wmain() {
  if (const int failed = RecordForEnvironment()) return failed;
  int count = 0;
  const base::LocalMemory<wchar_t*> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
  const wchar_t* signal = nullptr;
  const wchar_t* wait = nullptr;
  for (int i = 1; i + 1 < count; i += 2) {
    const std::wstring option = arguments.get()[i];
    const wchar_t* value = arguments.get()[i + 1];
    if (option == L"--signal") signal = value;
    if (option == L"--wait") wait = value;
  }
  if (signal != nullptr && !SetNamedEvent(signal)) return 3;
  if (wait != nullptr) {
    const base::KernelHandle event(OpenEventW(SYNCHRONIZE, FALSE, wait));
    if (!event) return 4;
    WaitForSingleObject(event.get(), 120000);
  }
  return 0;
}
