// What the library itself needs to know of a scan beyond the scanner's public interface.
#ifndef ZRTMASK_SCANNER_SCAN_ACCESS_H_
#define ZRTMASK_SCANNER_SCAN_ACCESS_H_

#include "ZRTDcHtmlHandler.h"

namespace zrtmask {

class ScanAccess {
 public:
  // errno of a read that failed while scanning, 0 when none did. FindNextItem answers a failed
  // read as the end of the input; a query or rewrite must not take the items up to there for
  // the whole template.
  static int ReadError(const ZRTDcHtmlHandler& scanner);
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_SCAN_ACCESS_H_
