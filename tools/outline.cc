// Reading a template's items and outline for the tool.
#include "tools/outline.h"

#include <cerrno>

#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask {

int ScanItems(const std::string& path, int find_types,
              const std::function<void(ZRTDcHtmlHandler& scanner)>& on_item) {
  ZRTDcHtmlHandler scanner;
  int code = scanner.OpenFile(path.c_str());
  if (code != kOk) return code;
  scanner.SetFindTypes(find_types);
  while (scanner.FindNextItem() != 0) on_item(scanner);
  return kOk;
}

int ReadFailureCode(int error) {
  if (error == ENOENT) return kTemplateMissing;
  if (error == EACCES || error == EPERM) return kTemplateUnreadable;
  return kOpenFailed;
}

int ReadOutline(const std::string& path, const std::string& region, Outline& outline) {
  std::string bytes;
  const int error = ReadWholeFile(path, bytes);
  if (error != 0) return ReadFailureCode(error);
  std::vector<std::string> names;
  if (!region.empty()) names.push_back(region);
  return OutlineMask(bytes, names, &outline);
}

}  // namespace zrtmask
