#pragma once

#include <optional>
#include <string>

#include "cmdline/arguments.h"
#include "cmdline/parser.h"

// What a command line asks of the launch dispatch, read from its text alone:
// no process is looked at and nothing is started. `dispatch` is the command
// line read with the dispatch options.

// The kestova:// link to open: the only argument when it is one, else the
// link composed for a local install or, failing that, a context-menu search.
// Nothing when the command line names an executable instead.
[[nodiscard]] std::optional<std::wstring> LinkToOpen(cmdline::ArgumentList arguments,
                                                     const cmdline::parser& dispatch);

// The argument after the first one that mentions launch-proc-name: the
// running client to hand the request to. Empty without one.
[[nodiscard]] std::wstring FirstExecutableName(cmdline::ArgumentList arguments);

// The parameters the named executable is started with, but for the start
// time: every argument except the launch-proc-name pairs, whose last one
// leaves its name in `name`. A shortcut link is made silent when
// `is_silent_marked` says so; it is asked only once such a link is found.
[[nodiscard]] std::wstring ForwardedArguments(cmdline::ArgumentList arguments,
                                              const cmdline::parser& dispatch, std::wstring& name,
                                              bool (*is_silent_marked)());
