#include "cmdline/arguments.h"

#include <shellapi.h>

namespace cmdline {

Arguments Arguments::Split(const wchar_t* command_line) {
  Arguments arguments;
  int count = 0;
  arguments.argv_.reset(CommandLineToArgvW(command_line, &count));
  if (arguments.argv_) arguments.count_ = count;
  return arguments;
}

}  // namespace cmdline
