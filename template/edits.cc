// Placeholder: the item rewrites are filled in by their own change.
#include "ZRTHtmlFile.h"
#include "zrtmask_result.h"

int ZRTHtmlFile::SetZRTViewName(ZRTUnicodeString) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::SetZRTTagContent(ZRTUnicodeString, ZRTUnicodeString) {
  return zrtmask::kOpenFailed;
}
int ZRTHtmlFile::dumpZRTTagContent(ZRTUnicodeString, ZRTUnicodeString) {
  return zrtmask::kOpenFailed;
}
int ZRTHtmlFile::SetZRTImageName(ZRTUnicodeString, int, int) { return zrtmask::kOpenFailed; }
