#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system/unique_resource.h"

namespace ipc_test {

// KestovaIpc.exe started with the given arguments, its standard output read
// line by line through a pipe as it prints.
class BusProcess {
 public:
  // kUpToReady leaves the output unread after "ready", so that the process
  // blocks in its next write once the pipe is full.
  enum class Reading { kAll, kUpToReady };
  explicit BusProcess(const std::wstring& arguments, Reading reading = Reading::kAll);
  ~BusProcess();  // waits a little, then ends the process
  BusProcess(const BusProcess&) = delete;
  BusProcess& operator=(const BusProcess&) = delete;

  // True once a listener printed "ready" (20 s at most): endpoint up, every
  // --hold mutex held. The transport may print before it (a mutex that a
  // dead process left abandoned is reported on the same stream).
  bool WaitReady();
  // Waits (a minute at most) for the exit code; on time-out ends the process.
  DWORD Finish();
  // Every line printed so far, without line ends.
  std::vector<std::string> lines();
  // The first line not taken yet, waiting at most the bound; nothing at the
  // end of the output or on time-out.
  std::optional<std::string> NextLine(DWORD timeout_ms);
  // For a listener of `module` started with --count expected + 1: sends it a
  // closing packet of our own and returns, in order, every packet it printed
  // before that one. The channel keeps order, so whatever was placed in the
  // queue earlier is among them. A listener that got fewer is sent the rest
  // of its count, so that it ends now and not at its idle limit.
  std::vector<nlohmann::json> PacketsSoFar(const std::wstring& module, std::size_t expected);
  DWORD id() const { return GetProcessId(process_.get()); }

 private:
  void ReadOutput(base::FileHandle pipe);

  base::KernelHandle process_;
  Reading reading_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::size_t next_line_ = 0;
  bool ended_ = false;
};

// Runs KestovaIpc to its end: its exit code and what it printed.
struct BusRun {
  DWORD exit_code;
  std::vector<std::string> lines;
};
BusRun RunBus(const std::wstring& arguments);

}  // namespace ipc_test
