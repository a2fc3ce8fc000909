#pragma once

#include <string>

// What a process can learn of a named mutex without creating one: opening it
// by name either succeeds, finds no object of that name, or is refused (the
// name exists, but not as a mutex that this process may open). Whether a
// refusal counts as present is each caller's choice, made where it is called.
enum class MutexPresence { kOpened, kAbsent, kRefused };

// `name` is the full name, namespace prefix included.
[[nodiscard]] MutexPresence ProbeMutex(const std::wstring& name);
