#include <windows.h>

#include "boot/startup.h"
#include "log/logger.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Initialize();
  Logger::Instance().End();
  return 0;
}
