// The trace facility: operator messages go to standard error.
#include "ZRTWebTrace.h"

#include <cstdarg>
#include <cstdio>

void ZRTWebTrace::trace(const char* format, ...) {
  if (format == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  // Flushed at once, so that the message is not lost if the server is stopped soon after.
  std::fflush(stderr);
}
