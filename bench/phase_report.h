#pragma once

// What a benchmark run of the launcher (its phase-marking build) or of the
// bare program leaves in the mapping named by kPhaseReportVariable, for the
// benchmark to read once the process has exited.
#include <windows.h>
#include <psapi.h>

#include <cstddef>
#include <cstdint>

#include "system/phase_marks.h"

namespace phase {

inline constexpr wchar_t kPhaseReportVariable[] = L"KESTOVA_PHASE_REPORT";
inline constexpr std::size_t kPhaseCount = static_cast<std::size_t>(Phase::kCount);

struct Report {
  // When each phase ended, in ms on the system's precise clock (the one
  // process creation and exit times are stamped with); 0 when not reached.
  double ended_ms[kPhaseCount];
  std::uint64_t peak_working_set_bytes;
};

inline double SystemTimeMs() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return static_cast<double>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                             now.dwLowDateTime) /
         10000.0;
}

// Writes the report into the benchmark's mapping, when there is one.
inline void Publish(const Report& report) {
  wchar_t name[128];
  const DWORD length = GetEnvironmentVariableW(kPhaseReportVariable, name, 128);
  if (length == 0 || length >= 128) return;
  const HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
  if (mapping == nullptr) return;
  if (void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(Report))) {
    *static_cast<Report*>(view) = report;
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
}

inline std::uint64_t PeakWorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))
             ? counters.PeakWorkingSetSize
             : 0;
}

}  // namespace phase
