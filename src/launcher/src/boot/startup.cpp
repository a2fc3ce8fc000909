#include "boot/startup.h"

#include <windows.h>

#include <ios>

#include "log/logger.h"

void Initialize() {
  Logger::Instance().StartOnce("launcher", std::ios::app);
  LogLine("[Cmd]:{}", GetCommandLineA());
}
