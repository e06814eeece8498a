// The scanner opened on bytes in memory, with the byte offsets of its items: what a page render
// needs to copy a mask through unchanged around the parts it fills.
#include "scanner/scan_access.h"

#include <new>

#include "scanner/byte_reader.h"
#include "zrtmask_result.h"

namespace zrtmask {

int ScanAccess::OpenBytes(ZRTDcHtmlHandler& scanner, const char* data, std::size_t size) {
  delete scanner._stream;
  scanner._stream = nullptr;
  if (scanner._name == nullptr || scanner._value == nullptr) return kOpenFailed;
  ByteReader* reader = new (std::nothrow) ByteReader;
  if (reader == nullptr) return kOpenFailed;
  reader->OpenBytes(data, size);
  scanner._stream = reader;
  scanner._atEnd = 0;
  return kOk;
}

int ScanAccess::OpenDescriptor(ZRTDcHtmlHandler& scanner, int fd) {
  delete scanner._stream;
  scanner._stream = nullptr;
  if (scanner._name == nullptr || scanner._value == nullptr) return kOpenFailed;
  ByteReader* reader = new (std::nothrow) ByteReader;
  int error = 0;
  if (reader == nullptr || !reader->OpenDescriptor(fd, &error)) {
    delete reader;
    return kOpenFailed;
  }
  scanner._stream = reader;
  scanner._atEnd = 0;
  return kOk;
}

std::size_t ScanAccess::Offset(const ZRTDcHtmlHandler& scanner, std::size_t back) {
  return scanner._stream->Offset(back);
}

bool ScanAccess::InText(const ZRTDcHtmlHandler& scanner) {
  return scanner._state == ZRTDcHtmlHandler::ScanState::kText;
}

}  // namespace zrtmask
