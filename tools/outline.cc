// Reading a template's items and outline for the tool.
#include "tools/outline.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {

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

int ListMasks(const std::vector<std::string>& operands, std::vector<std::string>& masks,
              std::string* failed) {
  namespace fs = std::filesystem;
  for (const std::string& operand : operands) {
    struct stat info;
    if (operand == "-" || ::stat(operand.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      masks.push_back(operand);
      continue;
    }
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(operand, error), end; !error && it != end;
         it.increment(error)) {
      const fs::path& path = it->path();
      const std::string extension = path.extension().string();
      // Only regular files: a pipe or a device named *.html would block the read or never end.
      if ((extension == ".html" || extension == ".htm") && it->is_regular_file(error)) {
        found.push_back(path.string());
      }
    }
    if (error) {
      *failed = operand;
      return error.value();
    }
    std::sort(found.begin(), found.end());
    masks.insert(masks.end(), found.begin(), found.end());
  }
  return 0;
}

}  // namespace zrtmask::cli
