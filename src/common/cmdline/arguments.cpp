#include "cmdline/arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <string_view>

#include "system/unique_resource.h"

namespace cmdline {

Arguments Arguments::Split(const wchar_t* command_line) {
  Arguments arguments;
  int count = 0;
  const base::LocalMemory<wchar_t*> argv(CommandLineToArgvW(command_line, &count));
  if (!argv) return arguments;
  std::vector<std::size_t> offsets;
  for (int index = 0; index < count; ++index) {
    offsets.push_back(arguments.text_.size());
    const std::wstring_view value = argv.get()[index];
    arguments.text_.insert(arguments.text_.end(), value.begin(), value.end());
    arguments.text_.push_back(L'\0');
  }
  for (const std::size_t offset : offsets) {
    arguments.pointers_.push_back(arguments.text_.data() + offset);
  }
  return arguments;
}

Arguments Arguments::OfProcess() { return Split(GetCommandLineW()); }

}  // namespace cmdline
