#include <gtest/gtest.h>

#include "cmdline/arguments.h"
#include "test_support.h"

namespace {

// Under Wine a test program that crashes can end with exit code 0, and a
// crash would count as a pass. This ends it at once with a line that the
// test runner looks for and the exception code as the exit code. It runs on
// whatever stack the crash left, so it keeps to a few bytes of its own.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* crash) {
  const DWORD code = crash->ExceptionRecord->ExceptionCode;
  char line[] = "unhandled exception 0x00000000\n";
  char* digit = line + sizeof("unhandled exception 0x") - 1;
  for (int shift = 28; shift >= 0; shift -= 4) *digit++ = "0123456789ABCDEF"[(code >> shift) & 0xF];
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, sizeof(line) - 1, &written, nullptr);
  TerminateProcess(GetCurrentProcess(), code != 0 ? code : 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(EndOnCrash);
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  if (arguments.count() >= 3 && std::wstring(arguments.vector()[1]) == L"--child") {
    return test_support::RunChildRole(arguments.vector()[2], arguments.count(),
                                      const_cast<wchar_t**>(arguments.vector()));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
