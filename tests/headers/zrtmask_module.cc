#include "zrtmask_module.h"  // compiles on its own
#include "zrtmask_module.h"  // and twice: the include guard holds
