#include "ipc/shm/diagnostics.h"

#include <cstdarg>

namespace shm {

void Print(std::FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stream, format, arguments);
  va_end(arguments);
  std::fflush(stream);
}

}  // namespace shm
