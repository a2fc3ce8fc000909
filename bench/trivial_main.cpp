// The cheapest window-less program: the baseline of the start-up benchmark.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
