#include <windows.h>

#include "boot/startup.h"
#include "ipc/ipc_endpoint.h"
#include "log/logger.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Initialize();
  Logger::Instance().End();
  // After the log: nothing the shut-down does is logged.
  ipc::IpcEndpoint::Instance().Shutdown();
  return 0;
}
