#pragma once

#include "bus_command.h"

namespace bus {

// Exit codes of KestovaIpc; scripts and tests match on them.
enum ExitCode : int {
  kDone = 0,
  kRefused = 1,  // not sent, not ready, no answer, a mutex that cannot be held
  kBadUsage = 2,
};

// Runs a parsed command; standard output carries its result, standard error
// one line on failure.
[[nodiscard]] int Run(const BusCommand& command);

}  // namespace bus
