// The module marker. On Linux a shared library gets no thread notifications to switch off, so
// loading the library does nothing else.
#include "zrtmask_module.h"

extern "C" int zrtmask_module_marker(void) { return 1; }
