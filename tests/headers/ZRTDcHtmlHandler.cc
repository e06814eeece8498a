#include "ZRTDcHtmlHandler.h"  // compiles on its own
#include "ZRTDcHtmlHandler.h"  // and twice: the include guard holds
