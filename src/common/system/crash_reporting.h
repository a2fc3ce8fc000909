#pragma once

#include <string>

#include "system/crash_agent.h"

// Crash reporting through the agent of client_extension.dll. The agent and
// its library stay loaded for the life of the process once found.
namespace crash {

// Status of LoadCrashAgent and StartCrashReporting.
enum class LoadStatus : int {
  Loaded = 0,
  NoLibrary = 1,
  NoHandler = 2,  // crashpad_handler.exe found nowhere; nothing was loaded
  NoFactory = 3,
};

// What the agent is configured with, resolved by the caller from wherever the
// product keeps it.
struct CrashReportingSetup {
  // Searched first for crashpad_handler.exe and the library; the folder of
  // the running executable comes second.
  std::wstring version_dir;
  // Where crash data goes; ends in a backslash.
  std::wstring data_dir;
  std::wstring product_version;
  std::string component_version;  // UTF-8
  std::string account_id;         // UTF-8; empty when unknown
};

// Loads folder\client_extension.dll and keeps the agent its factory returns
// (even a null one).
[[nodiscard]] LoadStatus LoadCrashAgent(const std::wstring& folder);

// Finds crashpad_handler.exe and the library, configures the agent and hands
// it the callback. Does nothing once an agent is running.
[[nodiscard]] LoadStatus StartCrashReporting(const CrashReportingSetup& setup,
                                             CrashCallback on_crash);

}  // namespace crash
