#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The most characters a process's command line holds, its NUL included.
inline constexpr std::size_t kCommandLineLimit = 32767;

// Characters of the command line the shell builds for a program: the quoted
// file, a blank, the parameters and the NUL.
std::size_t ShellCommandLineLength(const std::wstring& file, const std::wstring& parameters);

// Opens a program or document through the shell ("open" verb, no error UI).
// 0, or the system error when the shell refused. A command line longer than
// kCommandLineLimit starts nothing (ERROR_FILENAME_EXCED_RANGE): the shell
// would start it cut short, an argument left open and the last ones lost.
[[nodiscard]] DWORD ShellOpen(const std::wstring& file, const std::wstring& parameters,
                              const std::wstring& directory);
