#pragma once

#include <string>
#include <string_view>

// What a process can learn of a named mutex without creating one: opening it
// by name succeeds, finds no object of that name, is refused (a mutex this
// process may not open, such as an elevated holder's), or fails otherwise (the
// name belongs to another kind of object, or is no valid name). Whether a
// refusal or a failure counts as present is each caller's choice, made where
// it is called.
enum class MutexPresence { kOpened, kAbsent, kRefused, kUnprobed };

// `name` is the full name, namespace prefix included.
[[nodiscard]] MutexPresence ProbeMutex(const std::wstring& name);

// Whether some process holds the mutex "Global\" + name. Answers true when
// the name exists but cannot be opened.
[[nodiscard]] bool IsGlobalObjectPresent(std::string_view name);
