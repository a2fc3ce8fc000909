#include "sample_install.h"

#include <tlhelp32.h>

#include <algorithm>
#include <regex>

#include "stand_in_process.h"
#include "system/file_time.h"
#include "system/text.h"

namespace launcher_test {
namespace {

constexpr const wchar_t* kProductExecutables[] = {L"Kestova.exe", L"KestovaStore.exe",
                                                  L"KestovaAssistant.exe", L"KestovaSvr.exe"};

base::RegKey CreateKey(HKEY hive, const std::wstring& key) {
  base::RegKey handle;
  RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                  handle.put(), nullptr);
  return handle;
}

bool ImageIsUnder(DWORD process_id, const std::wstring& folder) {
  const base::KernelHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return false;
  wchar_t image[MAX_PATH * 2] = {};
  DWORD size = MAX_PATH * 2;
  if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) return false;
  return _wcsnicmp(image, folder.c_str(), folder.size()) == 0;
}

// The record is two lines: the command line and the working folder.
StartRecord ReadRecord(const std::filesystem::path& file) {
  const auto lines = test_support::SplitLines(test_support::ReadFileBytes(file));
  return {lines.size() > 0 ? Utf8ToWide(lines[0]) : L"",
          lines.size() > 1 ? Utf8ToWide(lines[1]) : L""};
}

}  // namespace

RegistryOverrides::~RegistryOverrides() {
  for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
    const base::RegKey key = CreateKey(saved->hive, saved->key);
    if (saved->value) {
      RegSetValueExW(key.get(), saved->name.c_str(), 0, saved->value->first,
                     saved->value->second.data(), static_cast<DWORD>(saved->value->second.size()));
    } else {
      RegDeleteValueW(key.get(), saved->name.c_str());
    }
  }
  // Deeper keys first: a key with sub-keys left is not deleted.
  std::sort(new_keys_.begin(), new_keys_.end(),
            [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  for (const auto& [hive, key] : new_keys_) {
    RegDeleteKeyExW(hive, key.c_str(), KEY_WOW64_64KEY, 0);
  }
}

void RegistryOverrides::Save(HKEY hive, const std::wstring& key, const std::wstring& name) {
  Saved saved{hive, key, name, std::nullopt};
  base::RegKey handle;
  DWORD type = 0;
  DWORD size = 0;
  // The key and each missing parent will be made by the write that follows.
  for (size_t end = key.find(L'\\');; end = key.find(L'\\', end + 1)) {
    const std::wstring level = key.substr(0, end);
    base::RegKey existing;
    if (RegOpenKeyExW(hive, level.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, existing.put()) !=
            ERROR_SUCCESS &&
        std::find(new_keys_.begin(), new_keys_.end(), std::pair{hive, level}) == new_keys_.end()) {
      new_keys_.emplace_back(hive, level);
    }
    if (end == std::wstring::npos) break;
  }
  if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, handle.put()) ==
          ERROR_SUCCESS &&
      RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS) {
    std::vector<BYTE> data(size);
    RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, data.data(), &size);
    saved.value.emplace(type, std::move(data));
  }
  saved_.push_back(std::move(saved));
}

void RegistryOverrides::SetString(HKEY hive, const std::wstring& key, const std::wstring& name,
                                  const std::wstring& value) {
  Save(hive, key, name);
  RegSetValueExW(CreateKey(hive, key).get(), name.c_str(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegistryOverrides::SetQword(HKEY hive, const std::wstring& key, const std::wstring& name,
                                 uint64_t value) {
  Save(hive, key, name);
  RegSetValueExW(CreateKey(hive, key).get(), name.c_str(), 0, REG_QWORD,
                 reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void RegistryOverrides::Remove(HKEY hive, const std::wstring& key, const std::wstring& name) {
  Save(hive, key, name);
  RegDeleteValueW(CreateKey(hive, key).get(), name.c_str());
}

SampleInstall::SampleInstall() {
  const std::wstring product = kProductKey;
  // Every launcher run that sends merges its statistics into these.
  registry_.Remove(HKEY_CURRENT_USER, product, L"ipc_send_analysis");
  registry_.Remove(HKEY_CURRENT_USER, product, L"ipc_recv_analysis");
  registry_.Remove(HKEY_LOCAL_MACHINE, product + L"\\Env", L"svid");
  registry_.Remove(HKEY_CURRENT_USER, product + L"\\Env", L"svid");
  registry_.SetString(HKEY_LOCAL_MACHINE, product, L"InstallPath", root().wstring());
  registry_.Remove(HKEY_CURRENT_USER, product + L"\\Kestova", L"Version");
  registry_.Remove(HKEY_LOCAL_MACHINE, product + L"\\Kestova", L"Version");
  for (const wchar_t* mark :
       {L"mbrix.sdk.mark", L"mbrix.sdk.desktop_link.mark", L"mbrix.sdk.break.trayhidden.mark"}) {
    registry_.Remove(HKEY_CURRENT_USER, product + L"\\Mark", mark);
  }
  SetVersion(kVersion);
  AddProductExecutables(kVersion);
  AddProductExecutables(Utf8ToWide(KESTOVA_LAUNCHER_VERSION));
}

void SampleInstall::SetVersion(const std::wstring& version) {
  registry_.SetString(HKEY_CURRENT_USER, std::wstring(kProductKey) + L"\\Kestova", L"Version",
                      version);
}

void SampleInstall::SetMark(const wchar_t* name, uint64_t value) {
  registry_.SetQword(HKEY_CURRENT_USER, std::wstring(kProductKey) + L"\\Mark", name, value);
}

void SampleInstall::AddProductExecutables(const std::wstring& version) {
  for (const wchar_t* name : kProductExecutables)
    test_support::CopyStandIn(VersionDir(version), name);
}

LauncherRun SampleInstall::Run(const std::wstring& arguments,
                               const std::map<std::wstring, std::wstring>& environment,
                               const std::filesystem::path& launcher_path) {
  for (const auto& entry : std::filesystem::directory_iterator(records_.path())) {
    std::filesystem::remove(entry.path());
  }
  const std::filesystem::path log_file = temp() / "Velmora" / "Kestova" / "launcher.log";
  std::error_code ignored;
  std::filesystem::remove(log_file, ignored);

  const std::wstring started_name = test_support::UniqueName(L"kestova-test-started");
  started_.reset(CreateEventW(nullptr, TRUE, FALSE, started_name.c_str()));
  std::map<std::wstring, std::wstring> merged = {
      {L"TMP", temp().wstring()},
      {L"TEMP", temp().wstring()},
      {L"KESTOVA_STAND_IN_RECORD_DIR", records_.path().wstring()},
      {L"KESTOVA_STAND_IN_STARTED", started_name},
  };
  merged.insert(environment.begin(), environment.end());

  const std::filesystem::path launcher =
      launcher_path.empty() ? test_support::BinaryDir() / "KestovaLauncher.exe" : launcher_path;
  std::wstring command_line = L"\"" + launcher.wstring() + L"\"";
  if (!arguments.empty()) command_line += L" " + arguments;
  const base::KernelHandle process =
      test_support::StartProcess(launcher, command_line, {.environment = merged});
  LauncherRun run;
  run.exit_code = test_support::WaitForExitCode(process);
  FILETIME created{}, exited{}, kernel{}, user{};
  if (process && GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
    const uint64_t ticks = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    run.start_time_ms = (ticks - kFileTimeUnitsBefore1970) / 10000;
  }

  // "[stamp] [tid.pid][Function]: message" -> "Function: message". The
  // pattern stops before the message: the library's matcher recurses once
  // per character, and a message can be a 20,000-character command line.
  const std::regex record(R"(^\[[^\]]*\] \[\d+\.\d+\]\[(\w+)\]: )");
  for (const std::string& line : test_support::SplitLines(test_support::ReadFileBytes(log_file))) {
    std::smatch match;
    if (std::regex_search(line, match, record) && match[1] != "Initialize") {
      run.log.push_back(match[1].str() + ": " + match.suffix().str());
    }
  }
  return run;
}

std::optional<std::pair<std::wstring, StartRecord>> SampleInstall::WaitForStart() {
  if (WaitForSingleObject(started_.get(), 10000) != WAIT_OBJECT_0) return std::nullopt;
  const auto records = Records();
  if (records.size() != 1) return std::nullopt;
  return *records.begin();
}

bool SampleInstall::NothingStarted() const {
  // Processes first: a stand-in that is gone by then has recorded.
  const base::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (ImageIsUnder(entry.th32ProcessID, root().wstring())) return false;
  }
  return Records().empty();
}

std::map<std::wstring, StartRecord> SampleInstall::Records() const {
  std::map<std::wstring, StartRecord> records;
  for (const auto& entry : std::filesystem::directory_iterator(records_.path())) {
    records[entry.path().stem().wstring()] = ReadRecord(entry.path());
  }
  return records;
}

}  // namespace launcher_test
