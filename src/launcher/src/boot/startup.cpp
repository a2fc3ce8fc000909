#include "boot/startup.h"

#include <windows.h>

#include <ios>

#include "boot/crash_setup.h"
#include "install/install_layout.h"
#include "ipc/ipc_endpoint.h"
#include "launcher/product_contract.h"
#include "log/logger.h"
#include "system/phase_marks.h"
#include "system/product_name.h"

namespace {

// The name crashes of the launcher are reported under.
constexpr wchar_t kCrashProcessName[] = L"KestovaLauncher";

}  // namespace

void Initialize() {
  // Before the log exists: nothing it could log would reach the file.
  InstallLayout::Instance().Init(product::kProductName);
  Logger::Instance().Start("launcher", std::ios::app);
  LogLine("[Cmd]:{}", GetCommandLineA());
  phase::Mark(phase::Phase::kLogStarted);
  ipc::IpcEndpoint::Instance().Init(product::kLauncherModule);
  phase::Mark(phase::Phase::kEndpointInited);
  crash::RemoveIfeoEntry(product::kLauncherExe);
  // Without crash reporting the request is still carried out, and the log
  // holds only what the request does.
  static_cast<void>(
      crash::StartCrashReporting(crash::SetupFrom(InstallLayout::Instance()), &OnLauncherCrash));
  phase::Mark(phase::Phase::kCrashReportingStarted);
}

void OnLauncherCrash() {
  crash::ReportProcessCrashEvent(InstallLayout::Instance(), kCrashProcessName);
}
