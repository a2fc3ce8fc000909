#pragma once

#include "cmdline/arguments.h"

// Partner requests to start or stop the product's VM.

class ProcessList;

// The command line asks to stop the VM ("oem-stop-vm" with a non-empty
// value, not examined further).
[[nodiscard]] bool HasOemStopVmRequest(cmdline::ArgumentList arguments);

// A Hyper-V worker process of the product's VM is in the list (one whose
// account is named after the VM).
[[nodiscard]] bool IsVmWorkerRunning(const ProcessList& processes);

// The VM is marked ready, the emulator client runs, but neither the headless
// VM host nor the VM's worker does: such a client cannot serve a request.
// Ends every Kestova.exe and answers true when the client's marker is still
// held afterwards, so the request is not handed to it. Which processes run
// is read from the list.
[[nodiscard]] bool IsClientStale(const ProcessList& processes);
