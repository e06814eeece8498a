// The parts of a template as the library's outline finds them.
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

int UnclosedRegionLine(const Outline& outline, std::string_view name) {
  for (const OutlineRegion& region : outline.regions) {
    if (region.name == name && !region.closed) return region.line;
  }
  return 0;
}

int UnclosedTitleLine(const Outline& outline) {
  for (const OutlineTitle& title : outline.titles) {
    if (!title.closed) return title.line;
  }
  return 0;
}

bool HoldsRegion(const Outline& outline, std::string_view name) {
  for (const OutlineRegion& region : outline.regions) {
    if (region.name == name) return true;
  }
  return false;
}

bool HoldsMarker(const Outline& outline, std::string_view keyword) {
  struct Kind {
    std::string_view keyword;
    ProcessingMarker kind;
  };
  static const Kind kKinds[] = {{"QLXSTART", ProcessingMarker::kStart},
                                {"QLXANNOT", ProcessingMarker::kAnnotations},
                                {"QLXURL", ProcessingMarker::kUrl},
                                {"QLXDBACCESS", ProcessingMarker::kDbAccess}};
  for (const Kind& kind : kKinds) {
    if (kind.keyword != keyword) continue;
    for (const OutlineMarker& marker : outline.markers) {
      if (marker.kind == kind.kind) return true;
    }
  }
  return false;
}

}  // namespace zrtmask
