// Marks the classes and functions that the shared library makes visible to its callers.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_EXPORT_H_
#define ZRTMASK_INCLUDE_ZRTMASK_EXPORT_H_

#define ZRTMASK_EXPORT __attribute__((visibility("default")))

#endif  // ZRTMASK_INCLUDE_ZRTMASK_EXPORT_H_
