// A one-file program built with pkg-config alone:
//   c++ -std=c++17 pkg_config_consumer.cc $(pkg-config --cflags --libs zrtmask)
// It counts the elements of the HTML file given as its argument and prints the count.
#include <ZRTDcHtmlHandler.h>
#include <zrtmask_module.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2 || zrtmask_module_marker() != 1) return 2;
  ZRTDcHtmlHandler scanner;
  int code = scanner.OpenFile(argv[1]);
  if (code != 0) {
    std::fprintf(stderr, "pkg_config_consumer: %s: cannot open (%d)\n", argv[1], code);
    return 1;
  }
  scanner.SetFindTypes(ITEM_TAG);
  int elements = 0;
  while (scanner.FindNextItem() != 0) ++elements;
  std::printf("%d\n", elements);
  return 0;
}
