#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bus_process.h"

namespace launcher_test {

// A running product client as far as the launcher can tell: KestovaIpc
// listening as the module (its inited marker held) and holding the named
// mutexes given, e.g. the client's global marker. It expects the given number
// of packets and then the closing one of PacketsSoFar; one packet more makes
// it stop before the closing packet, which PacketsSoFar reports.
class BusListener {
 public:
  BusListener(const std::wstring& module, const std::vector<std::wstring>& held_mutexes,
              int expected_packets);

  // It printed "ready": endpoint up, every mutex held.
  bool ready() const { return ready_; }

  // Sends the listener a closing packet of our own and returns, in order,
  // every packet it printed before that one. The channel keeps order, so
  // whatever the launcher placed in the queue before it exited is among them.
  std::vector<nlohmann::json> PacketsSoFar();

  // The next line printed after "ready", waiting at most the bound; nothing
  // at the end of the output or on time-out.
  std::optional<std::string> NextLine(DWORD timeout_ms);

 private:
  std::wstring module_;
  ipc_test::BusProcess process_;
  bool ready_ = false;
  std::size_t next_line_ = 1;
};

}  // namespace launcher_test
