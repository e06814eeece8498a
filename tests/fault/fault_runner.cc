// Runs one template rewrite and exits with its result code: the child process of the fault
// tests, started with the fault shim preloaded.
//   zrtmask_fault_runner view TEMPLATE NAME
//   zrtmask_fault_runner tag TEMPLATE MARKER TEXT
//   zrtmask_fault_runner dump TEMPLATE MARKER TEXT
//   zrtmask_fault_runner image TEMPLATE SOURCE WIDTH HEIGHT
//   zrtmask_fault_runner start|annot|url|db TEMPLATE VALUE
//   zrtmask_fault_runner copy TEMPLATE MASK
#include <cstdlib>
#include <string_view>

#include "ZRTHtmlFile.h"

int main(int argc, char** argv) {
  constexpr int kUsageError = 64;
  if (argc < 4) return kUsageError;
  std::string_view operation = argv[1];
  ZRTHtmlFile file(argv[2]);
  if (operation == "view" && argc == 4) return file.SetZRTViewName(argv[3]);
  if (operation == "tag" && argc == 5) return file.SetZRTTagContent(argv[3], argv[4]);
  if (operation == "dump" && argc == 5) return file.dumpZRTTagContent(argv[3], argv[4]);
  if (operation == "start" && argc == 4) return file.SetZRTStart(argv[3]);
  if (operation == "annot" && argc == 4) return file.SetZRTAnnotations(argv[3]);
  if (operation == "url" && argc == 4) return file.SetZRTURL(argv[3]);
  if (operation == "db" && argc == 4) return file.SetZRTDBAccess(argv[3]);
  if (operation == "copy" && argc == 4) return file.CopyMaskFile(argv[3]);
  if (operation == "image" && argc == 6) {
    return file.SetZRTImageName(argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  return kUsageError;
}
