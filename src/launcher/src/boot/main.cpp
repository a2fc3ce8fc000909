#include <windows.h>

#include "boot/startup.h"
#include "cmdline/arguments.h"
#include "ipc/ipc_endpoint.h"
#include "launch_target.h"
#include "log/logger.h"
#include "system/phase_marks.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  phase::Mark(phase::Phase::kEntry);
  Initialize();
  {
    // The one split of the command line: everything the launch reads is
    // handed these arguments. The system's copy is split rather than the
    // entry's parameter, which lacks the program path.
    const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
    LaunchTarget(arguments.count(), arguments.vector());
  }
  // The log ends first, so nothing the shut-down does reaches it.
  Logger::Instance().End();
  phase::Mark(phase::Phase::kLogEnded);
  ipc::IpcEndpoint::Instance().Shutdown();
  phase::Mark(phase::Phase::kShutDown);
  phase::Mark(phase::Phase::kExit);
  return 0;
}
