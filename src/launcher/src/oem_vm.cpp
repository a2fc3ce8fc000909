#include "oem_vm.h"

#include <windows.h>

#include <string>

#include "cmdline/parser.h"
#include "launch_options.h"
#include "launcher/product_contract.h"
#include "system/phase_marks.h"
#include "system/named_objects.h"
#include "system/process_info.h"
#include "system/process_kill.h"
#include "system/process_list.h"

bool HasOemStopVmRequest(cmdline::ArgumentList arguments) {
  const cmdline::parser options = ReadOptions(kOemStopOptions, arguments);
  return options.is_given(option::kOemStopVm) &&
         !options.get<std::wstring>(option::kOemStopVm).value_or(L"").empty();
}

bool IsVmWorkerRunning(const ProcessList& processes) {
  for (const DWORD process_id : processes.VmWorkerIds()) {
    std::wstring user;
    std::wstring domain;
    if (GetProcessUser(process_id, user, domain) == S_OK && user == product::kVmWorkerAccount) {
      return true;
    }
  }
  return false;
}

bool IsClientStale(const ProcessList& processes) {
  const phase::MarkOnExit mark(phase::Phase::kStalenessTested);
  // Only a marker we can open counts: a client is ended on this answer, so
  // a name we are refused is not enough to call it stale.
  if (ProbeMutex(product::kVmReadyMarker) != MutexPresence::kOpened) return false;
  if (processes.FindIdByName(product::kEmulatorClientExe) == 0) return false;
  if (processes.FindIdByName(product::kHeadlessVmHostExe) != 0) return false;
  if (IsVmWorkerRunning(processes)) return false;
  if (base::system::KillProcess(product::kEmulatorClientExe, L"", GetCurrentProcessId()) != 0) {
    return false;
  }
  return IsGlobalObjectPresent(product::kEmulatorClientMarker);
}
