#pragma once

#include <string>

#include "install/install_layout.h"
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

// Deletes the Image File Execution Options key of the executable (a debugger
// or a mitigation set there would hijack every start). Failure is silent.
void RemoveIfeoEntry(const std::wstring& executable_name);

// Loads folder\client_extension.dll and keeps the agent its factory returns
// (even a null one).
LoadStatus LoadCrashAgent(const std::wstring& folder);

// Finds crashpad_handler.exe and the library in the version folder, else
// beside this executable, configures the agent and hands it the callback.
// Does nothing once an agent is running.
LoadStatus StartCrashReporting(const InstallLayout& layout, CrashCallback on_crash);

// The "svid" of the Env key, machine value first; empty when neither is set.
std::string ReadSvid(const InstallLayout& layout);

// Starts the install folder's Application\KestovaLauncher.exe so that it has
// the assistant report a crash of the named process. Does not wait.
void ReportProcessCrashEvent(const InstallLayout& layout, const std::wstring& process_name);

}  // namespace crash
