#pragma once

#include <string>
#include <string_view>

// UTF-8 <-> UTF-16 at the edges between JSON/IPC/log text and Windows text.
// Invalid input is converted by the system's replacement rules, never refused.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
