#pragma once

#include <nlohmann/json.hpp>

#include "cmdline/parser.h"
#include "ipc/module_id.h"
#include "launcher/product_contract.h"

// Hands a request to a product process that is already running.

class ProcessList;

// Sends one packet from this process's endpoint to the client, in the global
// namespace. Before it, the client's process (found by its executable name
// in the list, or in a list of its own) is allowed to take the foreground,
// so it may bring its window to the front for the request. True when the
// packet was placed in the client's queue.
[[nodiscard]] bool ForwardToClient(ipc::ModuleId client, product::Message message,
                                   nlohmann::json data);
[[nodiscard]] bool ForwardToClient(ipc::ModuleId client, product::Message message,
                                   nlohmann::json data, const ProcessList& processes);

// Turns the launcher options (already parsed from the process's command
// line) into at most one packet for the emulator client: the first request
// found among app launch, install, VM start, VM stop and quit. True only when
// that packet was sent; false when nothing applied, a JSON value was
// malformed (logged), or the send failed. The client's process for the
// foreground hand-off is looked up in the list.
[[nodiscard]] bool NotifyCurrentKestova(const cmdline::parser& launch_options,
                                        const ProcessList& processes);
