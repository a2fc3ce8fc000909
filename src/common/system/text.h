#pragma once

#include <string>
#include <string_view>

// UTF-8 <-> UTF-16 at the edges between JSON/IPC/log text and Windows text.
// Invalid input is never refused: each ill-formed UTF-8 sequence (its longest
// valid start) and each unpaired surrogate becomes U+FFFD, as the system's
// own conversion does.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The same on wide strings: UTF-16 where wchar_t has 16 bits (Windows), one
// code point per wchar_t where it has 32, as the platform's wide literals are.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
