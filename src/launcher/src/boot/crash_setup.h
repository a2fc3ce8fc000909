#pragma once

#include <string>

#include "install/install_layout.h"
#include "system/crash_reporting.h"

// What crash reporting needs from the installation and the product's other
// processes, resolved here so that the agent's bootstrap knows neither.
namespace crash {

// Deletes the Image File Execution Options key of the executable (a debugger
// or a mitigation set there would hijack every start). Failure is silent.
void RemoveIfeoEntry(const std::wstring& executable_name);

// The "svid" of the Env key, machine value first; empty when neither is set.
std::string ReadSvid(const InstallLayout& layout);

// The version folder, data folder, versions and svid, read afresh.
CrashReportingSetup SetupFrom(const InstallLayout& layout);

// Starts the install folder's Application\KestovaLauncher.exe so that it has
// the assistant report a crash of the named process. Does not wait.
void ReportProcessCrashEvent(const InstallLayout& layout, const std::wstring& process_name);

}  // namespace crash
