// The module marker of the library and its version.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_MODULE_H_
#define ZRTMASK_INCLUDE_ZRTMASK_MODULE_H_

#include "zrtmask_export.h"

#define ZRTMASK_VERSION_MAJOR 0
#define ZRTMASK_VERSION_MINOR 1
#define ZRTMASK_VERSION_PATCH 0
#define ZRTMASK_VERSION_STRING "0.2.0"

// Module marker: a loader can look it up to tell that the library is present. Returns 1.
extern "C" ZRTMASK_EXPORT int zrtmask_module_marker(void);

#endif  // ZRTMASK_INCLUDE_ZRTMASK_MODULE_H_
