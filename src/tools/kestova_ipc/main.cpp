// KestovaIpc: the product's message bus from a console, for its developers
// and for the tests. Run without arguments for the usage.
#include <cstdio>
#include <string>
#include <vector>

#include "bus_command.h"
#include "bus_tool.h"
#include "cmdline/arguments.h"
#include "system/text.h"

int wmain() {
  const cmdline::Arguments arguments = cmdline::Arguments::OfProcess();
  std::vector<std::string> words;
  for (int i = 1; i < arguments.count(); ++i) words.push_back(WideToUtf8(arguments.vector()[i]));
  std::string error;
  const std::optional<bus::BusCommand> command = bus::ParseBusCommand(words, error);
  if (!command) {
    std::fprintf(stderr, "KestovaIpc: %s\n%s", error.c_str(), bus::kUsage);
    return bus::kBadUsage;
  }
  return bus::Run(*command);
}
