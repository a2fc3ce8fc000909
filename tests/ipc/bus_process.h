#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "system/unique_resource.h"

namespace ipc_test {

// KestovaIpc.exe started with the given arguments, its standard output read
// line by line through a pipe as it prints.
class BusProcess {
 public:
  explicit BusProcess(const std::wstring& arguments);
  ~BusProcess();  // waits a little, then ends the process
  BusProcess(const BusProcess&) = delete;
  BusProcess& operator=(const BusProcess&) = delete;

  // True once the listener printed "ready" (a minute at most).
  bool WaitReady();
  // Waits (a minute at most) for the exit; -1 on time-out, which ends it.
  DWORD Finish();
  // Every line printed so far, without line ends.
  std::vector<std::string> lines();
  // True once more than `count` lines were printed; false when the output
  // ended first or the bound passed.
  bool WaitForMoreLines(std::size_t count, DWORD timeout_ms);
  DWORD id() const { return GetProcessId(process_.get()); }

 private:
  void ReadOutput(base::FileHandle pipe);

  base::KernelHandle process_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

// Runs KestovaIpc to its end: its exit code and what it printed.
struct BusRun {
  DWORD exit_code;
  std::vector<std::string> lines;
};
BusRun RunBus(const std::wstring& arguments);

}  // namespace ipc_test
