#include "ZRTWebTrace.h"  // compiles on its own
#include "ZRTWebTrace.h"  // and twice: the include guard holds
