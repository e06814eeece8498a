// The file-access test of the base services.
#ifndef ZRTMASK_INCLUDE_ZRTFILEACCESS_H_
#define ZRTMASK_INCLUDE_ZRTFILEACCESS_H_

#include "zrtmask_export.h"

// Tests path: mode 0 whether it exists, 2 whether it can be written, 4 whether it can be read.
// Returns 0 when so, -1 when not (also for a null path or another mode).
ZRTMASK_EXPORT int ZRTFileAccess(const char* path, int mode);

#endif  // ZRTMASK_INCLUDE_ZRTFILEACCESS_H_
