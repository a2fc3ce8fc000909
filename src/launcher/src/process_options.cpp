// The options of this process's own command line; the rest of the option
// code takes its arguments as data and is built on every platform.
#include "launch_options.h"

cmdline::parser& LaunchOptions() {
  static cmdline::parser options;
  RegisterOptions(options, kLauncherOptions);
  ParseArguments(options, cmdline::Arguments::OfProcess());
  return options;
}
