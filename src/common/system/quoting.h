#pragma once

#include <map>
#include <string>
#include <string_view>

// Command lines for the product's other processes. Their parsers expect every
// backslash doubled and every double quote escaped, whatever follows it: the
// text is not the system's own quoting and must not become it.

std::string ReplaceAll(std::string subject, std::string_view search, std::string_view replacement);
std::wstring ReplaceAll(std::wstring subject, std::wstring_view search,
                        std::wstring_view replacement);

// "\"value\" " with backslashes doubled, then quotes escaped; "\"\" " when empty.
std::wstring QuoteArgument(std::wstring_view value);
std::wstring QuoteArgument(std::string_view utf8_value);

// "--name \"value\" " for each entry, in the map's order.
std::wstring ComposeOptions(const std::map<std::wstring, std::wstring>& options);
std::wstring ComposeOptions(const std::map<std::string, std::string>& utf8_options);

// Exact, case-sensitive prefix test.
bool StartsWith(std::wstring_view text, const wchar_t* prefix);
