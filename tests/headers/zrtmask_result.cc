#include "zrtmask_result.h"  // compiles on its own
#include "zrtmask_result.h"  // and twice: the include guard holds
