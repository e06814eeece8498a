#include "ZRTUnicodeString.h"  // compiles on its own
#include "ZRTUnicodeString.h"  // and twice: the include guard holds
