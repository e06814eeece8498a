// A downstream program: fills a region of a template and reads the template back, through the
// installed headers and library. Run it in an empty directory; it prints "ok" and exits 0.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ZRTHtmlFile.h"
#include "zrtmask_module.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace {

int Fail(const char* what, int code) {
  std::fprintf(stderr, "consumer: %s: %d (%s)\n", what, code, zrtmask::DescribeResult(code));
  return 1;
}

}  // namespace

int main() {
  if (zrtmask_module_marker() != 1) return Fail("module marker", zrtmask_module_marker());
  // The library never creates its temporary directory: the server's set-up does.
  ::mkdir("c:", 0755);
  ::mkdir("c:/temp", 0755);
  std::ofstream("page.html") << "<html><ZRTViewName><title>Old</title></ZRTViewName>\n"
                                "<p><Summary>old</Summary></p></html>\n";

  ZRTHtmlFile page("page.html");
  int code = page.SetZRTViewName("New");
  if (code != zrtmask::kOk) return Fail("SetZRTViewName", code);
  ZRTUnicodeString name;
  code = page.GetZRTViewName(&name);
  if (code != zrtmask::kOk) return Fail("GetZRTViewName", code);
  if (std::string(name.ConvertToChar()) != "New") return Fail("view name read back", 0);
  ZRTUnicodeString content;
  code = page.GetZRTTagContent("Summary", &content);
  if (code != zrtmask::kOk || std::string(content.ConvertToChar()) != "old") {
    return Fail("GetZRTTagContent", code);
  }
  code = page.SetZRTTagContent("Summary", "line 1\nline 2");
  if (code != zrtmask::kOk) return Fail("SetZRTTagContent", code);
  std::ifstream in("page.html");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.find("<!--Summary-->line 1<BR>line 2<BR><!--/Summary-->") == std::string::npos) {
    return Fail("filled region", 0);
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
