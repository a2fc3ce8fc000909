#include <gtest/gtest.h>

#include "cmdline/arguments.h"
#include "test_support.h"

int main(int argc, char** argv) {
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  if (arguments.count() >= 3 && std::wstring(arguments.vector()[1]) == L"--child") {
    return test_support::RunChildRole(arguments.vector()[2], arguments.count(),
                                      const_cast<wchar_t**>(arguments.vector()));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
