// What the library itself needs to know of a scan beyond the scanner's public interface.
#ifndef ZRTMASK_SCANNER_SCAN_ACCESS_H_
#define ZRTMASK_SCANNER_SCAN_ACCESS_H_

#include <cstddef>

#include "ZRTDcHtmlHandler.h"

namespace zrtmask {

class ScanAccess {
 public:
  // errno of a read that failed while scanning, 0 when none did. FindNextItem answers a failed
  // read as the end of the input; a query or rewrite must not take the items up to there for
  // the whole template.
  static int ReadError(const ZRTDcHtmlHandler& scanner);

  // Opens scanner on size bytes at data instead of a file, as OpenFile does; the bytes must
  // outlive the scan. Returns 0, or 15 when the scanner has no buffers (or no memory).
  static int OpenBytes(ZRTDcHtmlHandler& scanner, const char* data, std::size_t size);
  // For a scanner opened on bytes: the offset in them just past the character that completed
  // the last item (a line feed read from CR LF counts as both bytes). With back = 1, the offset
  // of that character itself.
  static std::size_t Offset(const ZRTDcHtmlHandler& scanner, std::size_t back = 0);
  // Opens scanner on the open file fd, read from its start without moving its position or
  // taking it over (fd must outlive the scan). Returns 0, or 15 when the first block cannot be
  // read or the scanner has no buffers.
  static int OpenDescriptor(ZRTDcHtmlHandler& scanner, int fd);
  // True, once, when a name or value was cut at its buffer's size since the last call (by the
  // item last found or an item skipped before it).
  static bool TakeItemCut(ZRTDcHtmlHandler& scanner);
  // True when the scanner is between tags and comments (reading text).
  static bool InText(const ZRTDcHtmlHandler& scanner);
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_SCAN_ACCESS_H_
