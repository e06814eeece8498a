// A downstream program: fills a region of a template and reads it back, and renders a page from
// a mask, through the installed headers and library. Run it in an empty directory; it prints
// "ok" and exits 0.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ZRTHtmlFile.h"
#include "zrtmask_module.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

int main() {
  // The library never creates its temporary directory: the server's set-up does.
  ::mkdir("c:", 0755);
  ::mkdir("c:/temp", 0755);
  std::ofstream("page.html") << "<html><p><Summary>old</Summary></p></html>\n";
  ZRTHtmlFile page("page.html");
  ZRTUnicodeString content;
  int code = page.GetZRTTagContent("Summary", &content);
  if (code == zrtmask::kOk) code = page.SetZRTTagContent("Summary", "line 1\nline 2");
  std::ifstream in("page.html");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The one-step render and the outline, from a mask in memory.
  const std::string mask = "<ZRTViewName><title>Old</title></ZRTViewName>\n";
  zrtmask::Outline outline;
  zrtmask::PageFill fill;
  fill.view_name = "New";
  std::string rendered;
  if (code == zrtmask::kOk) code = zrtmask::OutlineMask(mask, {}, &outline);
  if (code == zrtmask::kOk) code = zrtmask::RenderPage(mask, fill, &rendered);
  if (zrtmask_module_marker() != 1 || code != zrtmask::kOk ||
      std::string(content.ConvertToChar()) != "old" ||
      text.find("<!--Summary-->line 1<BR>line 2<BR><!--/Summary-->") == std::string::npos ||
      outline.titles.size() != 1 || rendered != "<ZRTViewName><title>New</title></ZRTViewName>\n") {
    std::fprintf(stderr, "consumer: %d (%s)\n", code, zrtmask::DescribeResult(code));
    return 1;
  }
  std::puts("ok");
  return 0;
}
