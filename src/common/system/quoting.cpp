#include "system/quoting.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "system/text.h"

namespace {

template <typename Char>
std::basic_string<Char> ReplaceAllOf(std::basic_string<Char> subject,
                                     std::basic_string_view<Char> search,
                                     std::basic_string_view<Char> replacement) {
  if (search.empty()) return subject;
  for (size_t position = 0;
       (position = subject.find(search, position)) != std::basic_string<Char>::npos;
       position += replacement.size()) {
    subject.replace(position, search.size(), replacement);
  }
  return subject;
}

}  // namespace

std::string ReplaceAll(std::string subject, std::string_view search, std::string_view replacement) {
  return ReplaceAllOf(std::move(subject), search, replacement);
}

std::wstring ReplaceAll(std::wstring subject, std::wstring_view search,
                        std::wstring_view replacement) {
  return ReplaceAllOf(std::move(subject), search, replacement);
}

std::wstring QuoteArgument(std::wstring_view value) {
  if (value.empty()) return L"\"\" ";
  const std::wstring escaped =
      ReplaceAll(ReplaceAll(std::wstring(value), L"\\", L"\\\\"), L"\"", L"\\\"");
  return fmt::format(L"\"{}\" ", escaped);
}

std::wstring QuoteArgument(std::string_view utf8_value) {
  if (utf8_value.empty()) return L"\"\" ";
  const std::string escaped =
      ReplaceAll(ReplaceAll(std::string(utf8_value), "\\", "\\\\"), "\"", "\\\"");
  return Utf8ToWide(fmt::format("\"{}\" ", escaped));
}

std::wstring ComposeOptions(const std::map<std::wstring, std::wstring>& options) {
  std::wstring result;
  for (const auto& [name, value] : options) {
    result += fmt::format(L"--{} ", name);
    result += QuoteArgument(std::wstring_view(value));
  }
  return result;
}

std::wstring ComposeOptions(const std::map<std::string, std::string>& utf8_options) {
  std::wstring result;
  for (const auto& [name, value] : utf8_options) {
    result += Utf8ToWide(fmt::format("--{} ", name));
    result += QuoteArgument(std::string_view(value));
  }
  return result;
}

bool StartsWith(std::wstring_view text, const wchar_t* prefix) {
  return text.starts_with(std::wstring_view(prefix));
}
