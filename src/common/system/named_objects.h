#pragma once

#include <string>
#include <string_view>

// What a process can learn of a named mutex without creating one: opening it
// by name either succeeds, finds no object of that name, or is refused (the
// name exists, but not as a mutex that this process may open). Whether a
// refusal counts as present is each caller's choice, made where it is called.
enum class MutexPresence { kOpened, kAbsent, kRefused };

// `name` is the full name, namespace prefix included.
[[nodiscard]] MutexPresence ProbeMutex(const std::wstring& name);

// Whether some process holds the mutex "Global\" + name. Answers true when
// the name exists but cannot be opened.
[[nodiscard]] bool IsGlobalObjectPresent(std::string_view name);
