#include "system/crash_reporting.h"

#include <windows.h>

#include <cstdlib>

#include "system/process_info.h"
#include "system/quoting.h"

namespace crash {
namespace {

constexpr wchar_t kLibraryName[] = L"client_extension.dll";
constexpr wchar_t kHandlerName[] = L"crashpad_handler.exe";

// What the crash service knows this product by.
constexpr wchar_t kAppCode[] = L"b83e1f60d2";
constexpr wchar_t kAppGuid[] = L"6d2f48b1-93ce-4a07-b5e2-0f71c8d93a46";
constexpr wchar_t kPackageId[] = L"com.velmora.kestova";
constexpr wchar_t kModuleName[] = L"KestovaLauncher";
constexpr char kAccountKey[] = "account_id";
constexpr std::uint32_t kInitSetting = 5000;
constexpr std::uint32_t kDumpSize = 0xA00000;
constexpr std::uint32_t kPathCapacity = 260;

// Set once on the main thread during start-up, read by nobody else; the
// library that made it is never unloaded.
CrashAgent* g_agent = nullptr;

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring OwnFolder() {
  std::wstring folder = OwnExecutablePath();
  const size_t separator = folder.find_last_of(L"\\/");
  folder.resize(separator == std::wstring::npos ? 0 : separator);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return folder;
}

LoadStatus LoadFrom(const std::wstring& folder) {
  g_agent = nullptr;
  const LoadStatus status = LoadCrashAgent(folder);
  return status == LoadStatus::Loaded && g_agent == nullptr ? LoadStatus::NoFactory : status;
}

}  // namespace

LoadStatus LoadCrashAgent(const std::wstring& folder) {
  const std::wstring path = folder + L"\\" + kLibraryName;
  HMODULE library = LoadLibraryExW(path.c_str(), nullptr, 0);
  if (library == nullptr) library = LoadLibraryW(path.c_str());
  if (library == nullptr) return LoadStatus::NoLibrary;
  // Kept loaded on purpose: the agent's code must outlive every caller.
  const auto factory = reinterpret_cast<CreateAgentFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, kFactoryExport)));
  if (factory == nullptr) return LoadStatus::NoFactory;
  g_agent = factory();
  return LoadStatus::Loaded;
}

LoadStatus StartCrashReporting(const CrashReportingSetup& setup, CrashCallback on_crash) {
  if (g_agent != nullptr) return LoadStatus::Loaded;
  const std::wstring& version_dir = setup.version_dir;
  std::wstring handler = version_dir + L"\\" + kHandlerName;
  if (!FileExists(handler)) {
    handler = OwnFolder() + L"\\" + kHandlerName;
    if (!FileExists(handler)) return LoadStatus::NoHandler;
  }
  if (LoadFrom(version_dir) != LoadStatus::Loaded) {
    const LoadStatus status = LoadFrom(OwnFolder());
    if (status != LoadStatus::Loaded) return status;
  }

  const std::wstring& data_dir = setup.data_dir;
  const std::wstring second_data_dir = data_dir;
  g_agent->Init(handler.c_str(), data_dir.c_str(), second_data_dir.c_str(), kAppCode, kAppGuid,
                setup.product_version.c_str(), kPackageId, kModuleName, kModuleName,
                setup.component_version.c_str(), kInitSetting, false, true, true, false, false);
  g_agent->SetKeyValue(kAccountKey, setup.account_id.c_str());
  g_agent->SetFlagAndSize(true, kDumpSize);
  static constexpr RuntimeHandlerSetters kSetters{&_set_purecall_handler,
                                                  &_set_invalid_parameter_handler};
  g_agent->SetRuntimeHandlerSetters(&kSetters);

  const std::wstring slash_dir = ReplaceAll(data_dir, L"\\", L"/");
  const auto module_length = static_cast<std::uint32_t>(wcslen(kModuleName));
  const auto slash_length = static_cast<std::uint32_t>(slash_dir.size());
  // One element beyond the capacity the agent is told of stays NUL, so a
  // path that fills the whole buffer still ends.
  wchar_t path[kPathCapacity + 1] = {};
  if (g_agent->QueryPathBuffer(path, kPathCapacity) == 0) {
    g_agent->RegisterProcessWithPath(path, GetCurrentProcessId(), kModuleName, module_length,
                                     slash_dir.c_str(), slash_length);
  } else {
    g_agent->RegisterProcess(GetCurrentProcessId(), kModuleName, module_length, slash_dir.c_str(),
                             slash_length);
  }
  g_agent->SetCrashCallback(on_crash, nullptr);
  return LoadStatus::Loaded;
}

}  // namespace crash
