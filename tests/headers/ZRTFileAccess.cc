#include "ZRTFileAccess.h"  // compiles on its own
#include "ZRTFileAccess.h"  // and twice: the include guard holds
