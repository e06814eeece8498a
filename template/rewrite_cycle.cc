// Placeholder: the rewrite cycle is filled in by its own change.
#include "ZRTHtmlFile.h"
#include "zrtmask_result.h"

int ZRTHtmlFile::isDiskFull(const char*) { return zrtmask::kTempDiskFull; }
