#pragma once

#include <cstdio>

namespace shm {

// The transport's failure texts go to the standard streams, never to the log:
// other product processes print the same texts, and tools read them there.
// Each text is flushed at once so a redirected stream shows it in order.
[[gnu::format(gnu_printf, 2, 3)]] void Print(std::FILE* stream, const char* format, ...);

}  // namespace shm
