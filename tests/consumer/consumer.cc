// A downstream program: fills a region of a template and reads it back, through the installed
// headers and library. Run it in an empty directory; it prints "ok" and exits 0.
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
  if (zrtmask_module_marker() != 1 || code != zrtmask::kOk ||
      std::string(content.ConvertToChar()) != "old" ||
      text.find("<!--Summary-->line 1<BR>line 2<BR><!--/Summary-->") == std::string::npos) {
    std::fprintf(stderr, "consumer: %d (%s)\n", code, zrtmask::DescribeResult(code));
    return 1;
  }
  // The one-step render, from the same mask in memory.
  const std::string mask = "<ZRTViewName><title>Old</title></ZRTViewName>\n";
  zrtmask::Outline outline;
  code = zrtmask::OutlineMask(mask, {}, &outline);
  if (code != zrtmask::kOk || outline.titles.size() != 1) return Fail("OutlineMask", code);
  zrtmask::PageFill fill;
  fill.view_name = "New";
  std::string rendered;
  code = zrtmask::RenderPage(mask, fill, &rendered);
  if (code != zrtmask::kOk || rendered != "<ZRTViewName><title>New</title></ZRTViewName>\n") {
    return Fail("RenderPage", code);
  }
  std::puts("ok");
  return 0;
}
