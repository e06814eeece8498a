// Result codes for failed file calls, explained through the platform layer.
#include "base/failures.h"

#include <cstdint>

#include "base/platform.h"

namespace zrtmask {

int ReadOpenFailureCode(const char* path, int missing_code, int unreadable_code) {
  if (!PathAccess(path, 0)) return missing_code;
  if (!PathAccess(path, 4)) return unreadable_code;
  return kOpenFailed;
}

int WriteOpenFailureCode(const char* path) {
  if (!PathAccess(path, 2)) return kTemplateNotWritable;
  if (DiskFullCode(path) != kOk) return kTemplateDiskFull;
  return kOpenFailed;
}

int TempCreateFailureCode(const char* path, const char* directory) {
  if (!PathAccess(path, 2)) return kTempNotWritable;
  if (PathAccess(path, 0)) return kTempExists;
  if (DiskFullCode(directory) != kOk) return kTempDiskFull;
  return kOpenFailed;
}

int WriteFailureCode(int error, const char* path, int disk_full_code) {
  if (IsNoSpaceError(error) || DiskFullCode(path) != kOk) return disk_full_code;
  return kOpenFailed;
}

int PageWriteFailureCode(int error) {
  if (IsNoSpaceError(error)) return kTemplateDiskFull;
  if (IsNotWritableError(error)) return kTemplateNotWritable;
  return kOpenFailed;
}

int DiskFullCode(const char* path) {
  bool ok = false;
  const std::uint64_t free_bytes = FreeBytes(path, &ok);
  if (!ok || free_bytes < 1) return kTempDiskFull;
  return kOk;
}

}  // namespace zrtmask
