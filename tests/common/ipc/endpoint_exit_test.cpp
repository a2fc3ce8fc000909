// A listener whose packet observer blocks must still exit: its receiving task
// cannot see the stop, and the endpoint's bounded wait for it must stay
// bounded.
#include <gtest/gtest.h>

#include <string>

#include "bus_process.h"
#include "test_support.h"

namespace {

TEST(EndpointExitTest, AListenerWhoseObserverBlocksStillExits) {
  // Its output is read only up to "ready": every packet line after that fills
  // the pipe until the observer, which prints it, blocks in its write.
  ipc_test::BusProcess listener(L"listen Uninstaller --idle-ms 3000",
                                ipc_test::BusProcess::Reading::kUpToReady);
  ASSERT_TRUE(listener.WaitReady());
  // Lines of some 30 KB each: the pipe holds less than two. Once the
  // listener has left, a send fails, which is fine.
  std::wstring data = L"[0";
  while (data.size() < 30000) data += L",0";
  data += L"]";
  ASSERT_EQ(ipc_test::RunBus(L"send Uninstaller 7 " + data).exit_code, 0u);
  for (int i = 0; i < 2; ++i) ipc_test::RunBus(L"send Uninstaller 7 " + data);
  // Three seconds of quiet, the endpoint's four for its receiving task, and
  // the exit: a listener still there after a minute waits without a bound.
  EXPECT_NE(listener.Finish(), test_support::kNoExitCode);
}

}  // namespace
