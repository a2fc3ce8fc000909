// The recorder behind the phase marks of the launcher's benchmark build.
#include "phase_report.h"

namespace phase {
namespace {
Report g_report{};
}  // namespace

void Mark(Phase phase) {
  g_report.ended_ms[static_cast<std::size_t>(phase)] = SystemTimeMs();
  if (phase != Phase::kExit) return;
  g_report.peak_working_set_bytes = PeakWorkingSetBytes();
  Publish(g_report);
}

}  // namespace phase
