// A command line through the launcher's option parsers: the input is the
// arguments as UTF-8, separated by NULs, after the program path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/parser.h"
#include "launch_options.h"
#include "launch_request.h"
#include "link_text.h"
#include "system/text.h"

namespace {

void ReadEvery(const cmdline::parser& parser, std::span<const OptionDef> options) {
  for (const OptionDef& definition : options) {
    parser.is_given(definition.name);
    parser.get<std::wstring>(definition.name);
    parser.get<int>(definition.name);
    parser.get<bool>(definition.name);
  }
}

void ParseWith(std::span<const OptionDef> options, cmdline::ArgumentList arguments) {
  cmdline::parser parser = ReadOptions(options, arguments);
  ReadEvery(parser, options);
  // Given marks and values carry over to a second parse; any result will do.
  static_cast<void>(parser.parse(static_cast<int>(arguments.size()), arguments.data()));
  ReadEvery(parser, options);
}

// The parser's short names and grouped short options, which the launcher's
// own option sets do not use.
void ParseWithShortNames(int argc, const wchar_t* const argv[]) {
  cmdline::parser parser;
  // Fresh names on a fresh parser, so none is refused; any parse result will do.
  static_cast<void>(parser.add<int>(L"count", L'c', L"", false, 1));
  static_cast<void>(parser.add<bool>(L"quiet", L'q', L"", false, false));
  static_cast<void>(parser.add<std::wstring>(L"name", L'n', L"", true, L""));
  static_cast<void>(parser.add_flag(L"verbose", L'v', L""));
  static_cast<void>(parser.parse(argc, argv));
  parser.get<int>(L"count");
  parser.get<std::wstring>(L"name");
  parser.usage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Text converted once is valid UTF-8, which converts back unchanged.
  const std::string converted = WideToUtf8(Utf8ToWide(input));
  if (WideToUtf8(Utf8ToWide(converted)) != converted) std::abort();

  std::vector<std::wstring> arguments{L"KestovaLauncher.exe"};
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    arguments.push_back(Utf8ToWide(input.substr(start, end - start)));
    start = end + 1;
  }
  std::vector<const wchar_t*> argv;
  for (const std::wstring& argument : arguments) argv.push_back(argument.c_str());
  const int argc = static_cast<int>(argv.size());

  ParseWith(kLauncherOptions, argv);
  ParseWith(kDispatchOptions, argv);
  ParseWith(kShortcutOptions, argv);
  ParseWith(kOemStopOptions, argv);
  ParseWithShortNames(argc, argv.data());

  // Arguments become link parameters and file paths: an encoded value holds
  // only what needs no encoding, an extension is the end of its path.
  for (const std::wstring& argument : arguments) {
    const std::string encoded = UrlEncode(WideToUtf8(argument));
    if (encoded.find_first_not_of(
            "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%") !=
        std::string::npos) {
      std::abort();
    }
    const std::wstring extension = PathExtension(argument);
    if (argument.find(extension) == std::wstring::npos) std::abort();
    if (IsBareFileName(argument) && argument.find_first_of(L"\\/:") != std::wstring::npos) {
      std::abort();
    }
  }

  // The dispatch's reading of the line; what it reads is checked by the
  // tests, here only that it stays within the arguments.
  const cmdline::parser dispatch = ReadOptions(kDispatchOptions, argv);
  static_cast<void>(LinkToOpen(argv, dispatch));
  std::wstring name = FirstExecutableName(argv);
  static_cast<void>(ForwardedArguments(argv, dispatch, name, [] { return true; }));
  return 0;
}
