#include "ZRTHtmlFile.h"  // compiles on its own
#include "ZRTHtmlFile.h"  // and twice: the include guard holds
