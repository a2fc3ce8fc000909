// Plays the crash-reporting library client_extension.dll in tests: its agent
// appends one line per call, "Name|argument|...", to the file named by
// KESTOVA_CRASH_AGENT_RECORD. KESTOVA_CRASH_AGENT_PATH, when set, is what
// QueryPathBuffer hands back (with 0); without it QueryPathBuffer answers 1.
// KESTOVA_CRASH_AGENT_FIRE=1 makes SetCrashCallback call the callback at once,
// as the agent would on a crash. The factory records the name of the folder
// it was loaded from. Built with STAND_IN_WITHOUT_FACTORY it lacks the
// factory export; with STAND_IN_NULL_FACTORY its factory makes no agent.
#include <windows.h>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <string>

#include "system/crash_agent.h"
#include "system/text.h"
#include "system/unique_resource.h"

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

void Append(const std::string& line) {
  const std::wstring file = Environment(L"KESTOVA_CRASH_AGENT_RECORD");
  if (file.empty()) return;
  const base::FileHandle handle(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_ALWAYS, 0, nullptr));
  const std::string text = line + "\n";
  DWORD written = 0;
  if (handle)
    WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string U8(const wchar_t* text) { return WideToUtf8(text); }

void ProbePurecall() {}
void ProbeInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {}

// The setters work when installing a handler and putting the old one back
// hands back the handler installed.
template <typename Handler>
const char* RoundTrip(Handler (*setter)(Handler), Handler probe) {
  if (setter == nullptr) return "null";
  const Handler previous = setter(probe);
  return setter(previous) == probe ? "works" : "broken";
}

class RecordingAgent final : public crash::CrashAgent {
 public:
  void Init(const wchar_t* handler_path, const wchar_t* data_dir, const wchar_t* second_data_dir,
            const wchar_t* app_code, const wchar_t* app_guid, const wchar_t* product_version,
            const wchar_t* package_id, const wchar_t* module_name, const wchar_t* process_name,
            const char* component_version, std::uint32_t setting, bool flag1, bool flag2,
            bool flag3, bool flag4, bool flag5) override {
    Append(fmt::format("Init|{}|{}|{}|{}|{}|{}|{}|{}|{}|{}|{}|{:d}{:d}{:d}{:d}{:d}",
                       U8(handler_path), U8(data_dir), U8(second_data_dir), U8(app_code),
                       U8(app_guid), U8(product_version), U8(package_id), U8(module_name),
                       U8(process_name), component_version, setting, flag1, flag2, flag3, flag4,
                       flag5));
  }
  int QueryPathBuffer(wchar_t* buffer, std::uint32_t capacity) override {
    Append(fmt::format("QueryPathBuffer|{}|{}", capacity, buffer[0] == L'\0' ? "zeroed" : "dirty"));
    const std::wstring path = Environment(L"KESTOVA_CRASH_AGENT_PATH");
    if (path.empty()) return 1;
    wcsncpy(buffer, path.c_str(), capacity);
    return 0;
  }
  void Reserved3() override { Append("Reserved3"); }
  void RegisterProcess(std::uint32_t process_id, const wchar_t* module_name,
                       std::uint32_t module_name_length, const wchar_t* data_dir,
                       std::uint32_t data_dir_length) override {
    Append(fmt::format("RegisterProcess|{}|{}|{}|{}|{}", Own(process_id), U8(module_name),
                       module_name_length, U8(data_dir), data_dir_length));
  }
  void RegisterProcessWithPath(const wchar_t* path, std::uint32_t process_id,
                               const wchar_t* module_name, std::uint32_t module_name_length,
                               const wchar_t* data_dir, std::uint32_t data_dir_length) override {
    Append(fmt::format("RegisterProcessWithPath|{}|{}|{}|{}|{}|{}", U8(path), Own(process_id),
                       U8(module_name), module_name_length, U8(data_dir), data_dir_length));
  }
  void SetKeyValue(const char* key, const char* value) override {
    Append(fmt::format("SetKeyValue|{}|{}", key, value));
  }
  void Reserved7() override { Append("Reserved7"); }
  void Reserved8() override { Append("Reserved8"); }
  void SetCrashCallback(crash::CrashCallback callback, void* context) override {
    Append(fmt::format("SetCrashCallback|{}|{}", callback != nullptr ? "callback" : "null",
                       context == nullptr ? "null" : "context"));
    if (callback != nullptr && Environment(L"KESTOVA_CRASH_AGENT_FIRE") == L"1") callback();
  }
  void Reserved10() override { Append("Reserved10"); }
  void Reserved11() override { Append("Reserved11"); }
  void SetRuntimeHandlerSetters(const crash::RuntimeHandlerSetters* setters) override {
    Append(fmt::format(
        "SetRuntimeHandlerSetters|{}|{}",
        RoundTrip<crash::PurecallHandler>(setters->set_purecall_handler, &ProbePurecall),
        RoundTrip<crash::InvalidParameterHandler>(setters->set_invalid_parameter_handler,
                                                  &ProbeInvalidParameter)));
  }
  void Reserved13() override { Append("Reserved13"); }
  void SetFlagAndSize(bool flag, std::uint32_t size) override {
    Append(fmt::format("SetFlagAndSize|{:d}|{}", flag, size));
  }

 private:
  static const char* Own(std::uint32_t process_id) {
    return process_id == GetCurrentProcessId() ? "own-pid" : "other-pid";
  }
};

}  // namespace

#ifndef STAND_IN_WITHOUT_FACTORY
extern "C" __declspec(dllexport) crash::CrashAgent* CreateFennoAgent() {
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<const wchar_t*>(&CreateFennoAgent), &self);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring folder = path;
  folder.resize(folder.find_last_of(L'\\'));
  Append("CreateFennoAgent|" + WideToUtf8(folder.substr(folder.find_last_of(L'\\') + 1)));
#ifdef STAND_IN_NULL_FACTORY
  return nullptr;
#else
  static RecordingAgent agent;
  return &agent;
#endif
}
#else
extern "C" __declspec(dllexport) int NotTheFactory() { return 0; }
#endif
