#include <windows.h>

#include "boot/startup.h"
#include "cmdline/arguments.h"
#include "ipc/ipc_endpoint.h"
#include "launch_target.h"
#include "log/logger.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Initialize();
  {
    // Split again from the process: the system's copy keeps the program path.
    const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
    LaunchTarget(arguments.count(), arguments.vector());
  }
  // The log ends first, so nothing the shut-down does reaches it.
  Logger::Instance().End();
  ipc::IpcEndpoint::Instance().Shutdown();
  return 0;
}
