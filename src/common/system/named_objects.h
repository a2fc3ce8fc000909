#pragma once

#include <string_view>

// Whether some process holds the mutex "Global\" + name. Answers true when
// the name exists but cannot be opened.
bool IsGlobalObjectPresent(std::string_view name);
