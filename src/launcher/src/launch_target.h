#pragma once

#include <string>
#include <string_view>

// Carries out what the launcher's command line asks for: opens a kestova://
// link, forwards the request to a running product process, or starts the
// named product executable from the current version folder. argv[0] is the
// launcher's own path; argv may be null when argc is 0.
void LaunchTarget(int argc, const wchar_t* const* argv);

// Letters and digits kept, blanks as "+", every other byte as "%XX".
std::string UrlEncode(std::string_view text);

// The extension of the path's file name, with its dot, as the shell's path
// functions see it (drive prefix and anything from a colon on ignored);
// empty when there is none.
std::wstring PathExtension(std::wstring_view path);

// A name that stays inside the folder it is joined with: no separator, no
// colon (drive or stream), not "." or "..". The empty name counts as one.
bool IsBareFileName(std::wstring_view name);
