#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace test_support {
namespace {

std::map<std::wstring, ChildMain>& Roles() {
  static std::map<std::wstring, ChildMain> roles;
  return roles;
}

std::wstring QuoteForCommandLine(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring UpperCase(std::wstring text) {
  for (wchar_t& c : text) c = towupper(c);
  return text;
}

// CreateProcessW wants "KEY=value\0...\0\0".
std::wstring BuildEnvironment(const std::map<std::wstring, std::wstring>& overrides) {
  std::map<std::wstring, std::wstring> merged;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    const size_t equals = text.find(L'=', 1);
    if (equals == std::wstring::npos) continue;
    merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [key, value] : overrides) {
    std::erase_if(merged,
                  [&](const auto& item) { return UpperCase(item.first) == UpperCase(key); });
    merged[key] = value;
  }
  std::wstring result;
  for (const auto& [key, value] : merged) {
    result += key + L"=" + value;
    result.push_back(L'\0');
  }
  result.push_back(L'\0');
  return result;
}

}  // namespace

ChildRole::ChildRole(const wchar_t* name, ChildMain main) { Roles()[name] = main; }

int RunChildRole(const std::wstring& name, int argc, wchar_t** argv) {
  const auto found = Roles().find(name);
  return found == Roles().end() ? 99 : found->second(argc, argv);
}

std::filesystem::path OwnExecutable() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return std::filesystem::path(std::wstring(path, length));
}

std::filesystem::path BinaryDir() { return OwnExecutable().parent_path(); }

static base::FileHandle InheritableFile(const std::filesystem::path& path) {
  if (path.empty()) return {};
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return base::FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool CreateProcessDespiteWine(const std::function<BOOL()>& create_process) {
  for (int attempt = 1;; ++attempt) {
    if (create_process()) return true;
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return false;
  }
}

base::KernelHandle StartProcess(const std::filesystem::path& executable,
                                const std::wstring& command_line, const ProcessOptions& options) {
  std::wstring mutable_line = command_line;
  std::wstring env_block;
  if (!options.environment.empty()) env_block = BuildEnvironment(options.environment);
  const base::FileHandle out = InheritableFile(options.stdout_file);
  const base::FileHandle err = InheritableFile(options.stderr_file);
  const bool redirected = out || err;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out ? out.get() : nullptr;
    startup.hStdError = err ? err.get() : nullptr;
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessDespiteWine([&] {
        return CreateProcessW(executable.c_str(), mutable_line.data(), nullptr, nullptr, redirected,
                              CREATE_UNICODE_ENVIRONMENT,
                              env_block.empty() ? nullptr : env_block.data(), nullptr, &startup,
                              &info);
      })) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "could not start " << executable << ": error " << error;
    return {};
  }
  base::KernelHandle thread(info.hThread);
  return base::KernelHandle(info.hProcess);
}

base::KernelHandle StartChild(const std::wstring& role, const std::wstring& arguments) {
  const std::filesystem::path self = OwnExecutable();
  std::wstring line = QuoteForCommandLine(self.wstring()) + L" --child " + role;
  if (!arguments.empty()) line += L" " + arguments;
  return StartProcess(self, line);
}

DWORD WaitForExitCode(const base::KernelHandle& process) {
  if (!process) return kNotStarted;  // StartProcess said why
  const DWORD waited = WaitForSingleObject(process.get(), 60000);
  const DWORD error = GetLastError();
  if (waited != WAIT_OBJECT_0) {
    if (waited == WAIT_TIMEOUT) {
      ADD_FAILURE() << "process " << GetProcessId(process.get()) << " still runs after 60 s";
    } else {
      ADD_FAILURE() << "cannot wait for process " << GetProcessId(process.get()) << ": error "
                    << error;
    }
    return kNoExitCode;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) {
    ADD_FAILURE() << "no exit code: error " << GetLastError();
    return kNoExitCode;
  }
  return code;
}

std::wstring UniqueName(const std::wstring& prefix) {
  static std::atomic<unsigned> counter{0};
  return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
}

ScopedEnvironment::ScopedEnvironment(const std::wstring& name, const std::wstring& value)
    : name_(name) {
  const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (size > 0) {
    std::wstring previous(size, L'\0');
    previous.resize(GetEnvironmentVariableW(name.c_str(), previous.data(), size));
    previous_ = previous;
  }
  SetEnvironmentVariableW(name.c_str(), value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("the temporary folder cannot be read");
  }
  path_ = std::filesystem::path(std::wstring(temp, length)) / UniqueName(L"kestova-test");
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace test_support
