#pragma once

#include "bus_command.h"

namespace bus {

// Watches the named channels without becoming their module: no marker is
// held, so no dispatch decision changes, but each watched channel counts one
// receiver more for its senders.
[[nodiscard]] int Monitor(const BusCommand& command);

}  // namespace bus
