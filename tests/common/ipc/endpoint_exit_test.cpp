// A listener whose packet observer blocks must still exit: its receiving task
// cannot see the stop, and the endpoint's bounded wait for it must stay
// bounded.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "bus_process.h"
#include "system/unique_resource.h"
#include "test_support.h"

namespace {

// KestovaIpc with its standard output on a pipe that is read only up to
// "ready": every packet line after that fills the pipe until the observer,
// which prints it, blocks in its write.
class UnreadListener {
 public:
  explicit UnreadListener(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) return;
    read_end_.reset(read_raw);
    base::FileHandle write_end(write_raw);
    SetHandleInformation(read_raw, HANDLE_FLAG_INHERIT, 0);
    const std::wstring executable = (test_support::BinaryDir() / "KestovaIpc.exe").wstring();
    std::wstring command_line = L"\"" + executable + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_raw;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info)) {
      return;
    }
    process_.reset(info.hProcess);
    const base::KernelHandle thread(info.hThread);
  }
  ~UnreadListener() {
    if (process_) TerminateProcess(process_.get(), 1);
  }

  // Reads up to the first line; false when the listener ended before it.
  bool WaitReady() {
    std::string line;
    char c = 0;
    DWORD read = 0;
    while (ReadFile(read_end_.get(), &c, 1, &read, nullptr) && read == 1 && c != '\n') {
      line += c;
    }
    return line.starts_with("ready");
  }

  HANDLE process() const { return process_.get(); }

 private:
  base::FileHandle read_end_;
  base::KernelHandle process_;
};

TEST(EndpointExitTest, AListenerWhoseObserverBlocksStillExits) {
  UnreadListener listener(L"listen Uninstaller --idle-ms 3000");
  ASSERT_NE(listener.process(), nullptr);
  ASSERT_TRUE(listener.WaitReady());
  // Lines of some 30 KB each: the pipe holds less than two. Once the
  // listener has left, a send fails, which is fine.
  std::wstring data = L"[0";
  while (data.size() < 30000) data += L",0";
  data += L"]";
  ASSERT_EQ(ipc_test::RunBus(L"send Uninstaller 7 " + data).exit_code, 0u);
  for (int i = 0; i < 2; ++i) ipc_test::RunBus(L"send Uninstaller 7 " + data);
  // Three seconds of quiet, the endpoint's four for its receiving task, and
  // the exit: a listener still there long after that waits without a bound.
  EXPECT_EQ(WaitForSingleObject(listener.process(), 30000), WAIT_OBJECT_0);
}

}  // namespace
