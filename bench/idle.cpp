// The yardstick of the launcher benchmark: a window-less program that does
// nothing, so its start-to-exit time is what Wine spends on any process.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
