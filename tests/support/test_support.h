#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "system/unique_resource.h"

namespace test_support {

// A test executable can act as a child process of its own tests: started
// with "--child ROLE", it runs the role's function instead of the tests.
using ChildMain = int (*)(int argc, wchar_t** argv);
struct ChildRole {
  ChildRole(const wchar_t* name, ChildMain main);
};
int RunChildRole(const std::wstring& name, int argc, wchar_t** argv);

std::filesystem::path OwnExecutable();
std::filesystem::path BinaryDir();

struct ProcessOptions {
  // Entries that replace or add to this process's own environment.
  std::map<std::wstring, std::wstring> environment = {};
  // Where the child's standard streams go; empty: nowhere.
  std::filesystem::path stdout_file = {};
  std::filesystem::path stderr_file = {};
};

// Calls `create_process` (a CreateProcessW) until it starts the process, but
// at most three times, and only again after ERROR_INTERNAL_ERROR: Wine
// refuses a start now and then, under load, with that error before the
// program has run at all. The last error is kept for the caller.
bool CreateProcessDespiteWine(const std::function<BOOL()>& create_process);

// Starts a process. Returns the process handle; invalid when it could not be
// started, which fails the running test with the system's error.
base::KernelHandle StartProcess(const std::filesystem::path& executable,
                                const std::wstring& command_line,
                                const ProcessOptions& options = {});
// Starts this executable as the given child role.
base::KernelHandle StartChild(const std::wstring& role, const std::wstring& arguments = L"");
// What WaitForExitCode returns when there is no exit code to give: the
// process was never started, or it still runs (or cannot be waited for).
// Neither is an exit code of our programs; each fails the running test.
inline constexpr DWORD kNotStarted = 0xE0000001;
inline constexpr DWORD kNoExitCode = 0xE0000002;
// Waits (a minute at most) and returns the exit code.
DWORD WaitForExitCode(const base::KernelHandle& process);

// Sets an environment variable of this process and puts back what was there
// (or nothing) when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const std::wstring& name, const std::wstring& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

// A new, empty folder under the temporary folder, removed with its contents.
// Throws, failing the test, when the temporary folder cannot be read.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Unique within the machine: for named objects and registry keys.
std::wstring UniqueName(const std::wstring& prefix);

std::string ReadFileBytes(const std::filesystem::path& path);
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace test_support
