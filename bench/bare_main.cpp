// A window-less program that does nothing but load what the launcher loads:
// the baseline of the launcher benchmark. Asked by the benchmark (through the
// report mapping), it tells its peak working set.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <objbase.h>
#include <winver.h>

#include "phase_report.h"

namespace {
// Never called: taking the addresses makes the loader bring in the same
// system libraries as the launcher's.
[[maybe_unused]] const void* volatile g_imports[] = {
    reinterpret_cast<const void*>(&CommandLineToArgvW),
    reinterpret_cast<const void*>(&PathFileExistsW),
    reinterpret_cast<const void*>(&CoCreateGuid),
    reinterpret_cast<const void*>(&GetFileVersionInfoSizeW),
    reinterpret_cast<const void*>(&AllowSetForegroundWindow),
    reinterpret_cast<const void*>(&RegOpenKeyExW),
};
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (GetEnvironmentVariableW(phase::kPhaseReportVariable, nullptr, 0) != 0) {
    phase::Report report{};
    report.peak_working_set_bytes = phase::PeakWorkingSetBytes();
    phase::Publish(report);
  }
  return 0;
}
