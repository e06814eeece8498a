#include "zrtmask_render.h"  // compiles on its own
#include "zrtmask_render.h"  // and twice: the include guard holds
