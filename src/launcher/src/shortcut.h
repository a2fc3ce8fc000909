#pragma once

#include "cmdline/parser.h"

// Shortcut launches of the store.

// Whether shortcut launches are to be silent, by the per-user mark flags
// that other product components set. Read afresh at every call.
[[nodiscard]] bool IsSilentShortcutMarked();

// Hands the shortcut's link, or a request to come forward, to the running
// store client; `options` are the ShortcutOptions of the command line. True
// when handled: the packet was sent, or "silent" alone asked for nothing.
[[nodiscard]] bool NotifyCurrentStore(const cmdline::parser& options);
