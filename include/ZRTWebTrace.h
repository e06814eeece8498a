// The trace facility: messages for the server's operators, written to standard error.
#ifndef ZRTMASK_INCLUDE_ZRTWEBTRACE_H_
#define ZRTMASK_INCLUDE_ZRTWEBTRACE_H_

#include "zrtmask_export.h"

class ZRTMASK_EXPORT ZRTWebTrace {
 public:
  // Writes the message made by format and its arguments (printf rules) to standard error.
  static void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

#endif  // ZRTMASK_INCLUDE_ZRTWEBTRACE_H_
