#include "zrtmask_outline.h"  // compiles on its own
#include "zrtmask_outline.h"  // and twice: the include guard holds
