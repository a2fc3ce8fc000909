#include "boot/startup.h"

#include <windows.h>

#include <ios>

#include "install/install_layout.h"
#include "ipc/ipc_endpoint.h"
#include "launcher/product_contract.h"
#include "log/logger.h"

void Initialize() {
  // Before the log exists: nothing it could log would reach the file.
  InstallLayout::Instance().Init(L"Kestova");
  Logger::Instance().Start("launcher", std::ios::app);
  LogLine("[Cmd]:{}", GetCommandLineA());
  ipc::IpcEndpoint::Instance().Init(product::kLauncherModule);
}
