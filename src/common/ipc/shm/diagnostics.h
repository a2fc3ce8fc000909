#pragma once

#include <cstdio>

namespace shm {

// The transport's failure texts go to the standard streams, never to the log:
// other product processes print the same texts, and tools read them there.
// Each text is flushed at once so a redirected stream shows it in order.
// MinGW's GCC checks its C99 printf as gnu_printf; clang knows only printf.
#ifdef __clang__
[[gnu::format(printf, 2, 3)]]
#else
[[gnu::format(gnu_printf, 2, 3)]]
#endif
void Print(std::FILE* stream, const char* format, ...);

}  // namespace shm
