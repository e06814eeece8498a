#include "zrtmask_export.h"  // compiles on its own
#include "zrtmask_export.h"  // and twice: the include guard holds
