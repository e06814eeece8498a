// The one place that turns a failed file call into a result code, and the one catch-all that
// keeps exceptions inside the library. Each situation has one mapping; the checks that explain
// a failure (an access test, then a free-space test, in a fixed order) run through the platform
// layer, so their faults can be injected too.
#ifndef ZRTMASK_BASE_FAILURES_H_
#define ZRTMASK_BASE_FAILURES_H_

#include "zrtmask_result.h"

namespace zrtmask {

// A file that could not be opened (or that is no regular file) for reading: missing_code when
// it does not exist, unreadable_code when it cannot be read, 15 otherwise. The template uses
// 2 and 1, a mask 22 and 21.
int ReadOpenFailureCode(const char* path, int missing_code, int unreadable_code);
// A file that could not be opened for writing: 8 when it is not writable, 9 when its disk is
// full, 15 otherwise.
int WriteOpenFailureCode(const char* path);
// A temporary file that could not be created in directory: 3 when it is not writable there,
// 4 when the name exists, 5 when the disk is full, 15 otherwise.
int TempCreateFailureCode(const char* path, const char* directory);
// A write (or flush) that failed with error: disk_full_code when the disk holding path is full,
// 15 otherwise.
int WriteFailureCode(int error, const char* path, int disk_full_code);
// A call in a page's folder (create, write, flush, rename) that failed with error: 9 when a disk
// or quota is full, 8 when the folder is not writable or missing, 15 otherwise. Publishing
// never explains a failure by probing names afterwards: the errno is the answer.
int PageWriteFailureCode(int error);
// 5 when the disk holding path has no byte free for the caller, or the query fails; else 0.
int DiskFullCode(const char* path);

// Runs operation and returns its code; an exception (a failed allocation) becomes 15. Every
// entry point of the library that can meet one runs through here.
template <typename Operation>
int CatchAll(Operation operation) noexcept {
  try {
    return operation();
  } catch (...) {
    return kOpenFailed;
  }
}

}  // namespace zrtmask

#endif  // ZRTMASK_BASE_FAILURES_H_
