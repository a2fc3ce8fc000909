#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace launcher_test {

// Registry values a test sets, put back as they were (or removed) when the
// object goes; keys that did not exist before go too, once empty of sub-keys.
class RegistryOverrides {
 public:
  RegistryOverrides() = default;
  ~RegistryOverrides();
  RegistryOverrides(const RegistryOverrides&) = delete;
  RegistryOverrides& operator=(const RegistryOverrides&) = delete;

  void SetString(HKEY hive, const std::wstring& key, const std::wstring& name,
                 const std::wstring& value);
  void SetQword(HKEY hive, const std::wstring& key, const std::wstring& name, uint64_t value);
  void Remove(HKEY hive, const std::wstring& key, const std::wstring& name);

 private:
  struct Saved {
    HKEY hive;
    std::wstring key;
    std::wstring name;
    std::optional<std::pair<DWORD, std::vector<BYTE>>> value;
  };
  void Save(HKEY hive, const std::wstring& key, const std::wstring& name);
  std::vector<Saved> saved_;
  std::vector<std::pair<HKEY, std::wstring>> new_keys_;
};

// What a stand-in recorded when the launcher started it.
struct StartRecord {
  std::wstring command_line;
  std::wstring folder;
};

// What one launcher run left behind.
struct LauncherRun {
  DWORD exit_code = test_support::kNotStarted;
  // The process's creation time in ms since 1970, as the launcher reports it.
  uint64_t start_time_ms = 0;
  // "Function: message" of each record between the command line and the end.
  std::vector<std::string> log;
};

// A product installation in a temporary folder, registered under the
// product's registry keys for as long as the object lives: version folder
// kVersion holds the stand-ins of the product executables, and so does the
// folder of the launcher's own version. A run's stand-ins record into
// records(); the launcher's log goes to a temporary folder of its own.
class SampleInstall {
 public:
  static constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velmora\\Kestova";
  static constexpr wchar_t kVersion[] = L"9.0.0.1";

  SampleInstall();

  RegistryOverrides& registry() { return registry_; }
  std::filesystem::path root() const { return install_.path(); }
  std::filesystem::path application_dir() const { return install_.path() / "Application"; }
  std::filesystem::path VersionDir(const std::wstring& version = kVersion) const {
    return application_dir() / version;
  }
  std::filesystem::path temp() const { return temp_.path(); }
  void SetVersion(const std::wstring& version);
  void SetMark(const wchar_t* name, uint64_t value);
  // Copies the stand-in product executables into the version folder.
  void AddProductExecutables(const std::wstring& version);

  // Runs the launcher with the arguments (after its own path) and waits for
  // it; extra entries join its environment.
  LauncherRun Run(const std::wstring& arguments,
                  const std::map<std::wstring, std::wstring>& environment = {},
                  const std::filesystem::path& launcher = {});

  // The stand-in the last run started, once it has recorded (ten seconds at
  // most); nothing when none was started.
  std::optional<std::pair<std::wstring, StartRecord>> WaitForStart();
  // True when no stand-in of the last run runs or has recorded.
  bool NothingStarted() const;

 private:
  std::map<std::wstring, StartRecord> Records() const;

  test_support::TempDir install_;
  test_support::TempDir temp_;
  test_support::TempDir records_;
  RegistryOverrides registry_;
  base::KernelHandle started_;
};

}  // namespace launcher_test
