#include <windows.h>

#include "boot/startup.h"
#include "cmdline/arguments.h"
#include "log/logger.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Initialize();
  {
    // The system's own split, program path first, as every parser expects.
    const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  }
  Logger::Instance().End();
  return 0;
}
