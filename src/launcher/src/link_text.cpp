#include "link_text.h"

#include <fmt/format.h>

namespace {

bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsAsciiAlphanumeric(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string UrlEncode(std::string_view text) {
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsAsciiAlphanumeric(byte)) {
      encoded.push_back(c);
    } else if (IsBlank(byte)) {
      encoded.push_back('+');
    } else {
      encoded += fmt::format("%{:02X}", byte);
    }
  }
  return encoded;
}

std::wstring PathExtension(std::wstring_view path) {
  const size_t separator = path.find_last_of(L"\\/");
  std::wstring_view name = separator == std::wstring_view::npos ? path : path.substr(separator + 1);
  if (separator == std::wstring_view::npos && name.size() >= 2 && name[1] == L':') {
    name.remove_prefix(2);
  }
  name = name.substr(0, name.find(L':'));
  if (name.size() < 2 || name == L"..") return L"";
  if (name.back() == L'.') return L".";
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring_view::npos || dot == 0) return L"";
  return std::wstring(name.substr(dot));
}

bool IsBareFileName(std::wstring_view name) {
  return name.find_first_of(L"\\/:") == std::wstring_view::npos && name != L"." && name != L"..";
}
