// Placeholder: the processing-marker rewrites are filled in by their own change.
#include "ZRTHtmlFile.h"
#include "zrtmask_result.h"

int ZRTHtmlFile::CopyMaskFile(const char*) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::SetZRTStart(ZRTUnicodeString) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::SetZRTAnnotations(ZRTUnicodeString) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::SetZRTURL(ZRTUnicodeString) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::SetZRTDBAccess(ZRTUnicodeString) { return zrtmask::kOpenFailed; }
int ZRTHtmlFile::setZRTToken(ZRTUnicodeString, Tokens) { return zrtmask::kOpenFailed; }
