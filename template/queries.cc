// Placeholder: the queries are filled in by their own change.
#include "ZRTHtmlFile.h"
#include "zrtmask_result.h"

int ZRTHtmlFile::GetZRTViewName(ZRTUnicodeString*) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::GetZRTTagContent(ZRTUnicodeString, ZRTUnicodeString*) {
  return zrtmask::kOpenFailed;
}
int ZRTHtmlFile::GetZRTPath(ZRTUnicodeString*) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::GetAllZRTTag(ZRTListValZRTUnicodeString*) { return zrtmask::kOpenFailed; }
