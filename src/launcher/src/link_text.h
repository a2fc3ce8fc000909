#pragma once

#include <string>
#include <string_view>

// The text rules of the links and paths the launcher composes and checks.

// Letters and digits kept, blanks as "+", every other byte as "%XX".
std::string UrlEncode(std::string_view text);

// The extension of the path's file name, with its dot, as the shell's path
// functions see it (drive prefix and anything from a colon on ignored);
// empty when there is none.
std::wstring PathExtension(std::wstring_view path);

// A name that stays inside the folder it is joined with: no separator, no
// colon (drive or stream), not "." or "..". The empty name counts as one.
[[nodiscard]] bool IsBareFileName(std::wstring_view name);
