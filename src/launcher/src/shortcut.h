#pragma once

#include "cmdline/parser.h"

// Shortcut launches of the store.

// "pseudo-protocol", "from" (as text) and the flag "silent", parsed once per
// process from its own command line.
cmdline::parser& ShortcutOptions();

// Whether shortcut launches are to be silent, by the per-user mark flags
// that other product components set. Read afresh at every call.
bool IsSilentShortcutMarked();

// Hands the shortcut's link, or a request to come forward, to the running
// store client. True when handled: the packet was sent, or "silent" alone
// asked for nothing.
bool NotifyCurrentStore();
