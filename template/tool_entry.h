// The library's entry points for its own command-line tool, beyond the public headers: the new
// text of a rewrite in memory (the dry run), why the last operation failed (for the tool's
// messages), and the explicit recovery of copy backs. Exported from the shared library under
// the namespace zrtmask::tool_internal, so that the tool can link the library alone; this header
// is not installed, and nothing here is an interface for other callers.
#ifndef ZRTMASK_TEMPLATE_TOOL_ENTRY_H_
#define ZRTMASK_TEMPLATE_TOOL_ENTRY_H_

#include <functional>
#include <string>
#include <vector>

#include "zrtmask_export.h"

namespace zrtmask::tool_internal {

// Runs rewrite (calls of ZRTHtmlFile rewrites on this thread) without writing any file: the
// new text that the template would get is put in *new_text. Returns what rewrite returns.
ZRTMASK_EXPORT int RewriteToText(const std::function<int()>& rewrite, std::string* new_text);

// Why the last operation of this thread failed, beyond its code.
enum DetailKind : int {
  kNoDetail = 0,
  kLockTimeout = 1,          // the template's lock was not had in time
  kItemTooLong = 2,          // line: where the item too long to write back ends
  kTempDirOpenToOthers = 3,  // path: the temporary directory, writable by others, not sticky
};
struct Detail {
  int kind = kNoDetail;
  int line = 0;
  std::string path;
};
ZRTMASK_EXPORT Detail LastDetail();

// One copy-back record that Recover met.
struct Recovered {
  int outcome = 0;  // 1 finished, 2 left alone (problem says why), 3 the copy failed again
  std::string template_path;
  std::string record_path;
  std::string problem;
  unsigned long long length = 0;
};
// Finishes the copy backs recorded in directory (ending in '/') for the templates named, or
// for every record there when none is named.
ZRTMASK_EXPORT std::vector<Recovered> Recover(const std::string& directory,
                                              const std::vector<std::string>& templates);

}  // namespace zrtmask::tool_internal

#endif  // ZRTMASK_TEMPLATE_TOOL_ENTRY_H_
