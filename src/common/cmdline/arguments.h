#pragma once

#include <windows.h>

#include "system/unique_resource.h"

namespace cmdline {

// A command line split into wide arguments the way the system splits it
// (CommandLineToArgvW); the first argument is the program path. When the
// text cannot be split the count is 0 and the vector null.
class Arguments {
 public:
  static Arguments Split(const wchar_t* command_line);
  static Arguments OfProcess() { return Split(GetCommandLineW()); }

  int count() const { return count_; }
  const wchar_t* const* vector() const { return argv_.get(); }

 private:
  base::LocalMemory<wchar_t*> argv_;
  int count_ = 0;
};

}  // namespace cmdline
