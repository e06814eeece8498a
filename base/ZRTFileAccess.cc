// The file-access test, over access(2).
#include "ZRTFileAccess.h"

#include "base/platform.h"

int ZRTFileAccess(const char* path, int mode) {
  // Only the three documented modes are accepted: any other value would silently become an
  // existence test in PathAccess.
  if (path == nullptr || (mode != 0 && mode != 2 && mode != 4)) return -1;
  return zrtmask::PathAccess(path, mode) ? 0 : -1;
}
