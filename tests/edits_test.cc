// The four item rewrites, checked on the bytes of the rewritten template: view name, tag
// content, dump and image.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

using Operation = std::function<int(ZRTHtmlFile&)>;

class EditsTest : public testing::ScratchDirTest {
 protected:
  // Writes `before` as the template, runs operation on it and returns the new text, or
  // "code N" when the operation fails.
  static std::string Rewrite(const std::string& before, const Operation& operation) {
    WriteFile("t.html", before);
    ZRTHtmlFile file("t.html");
    int code = operation(file);
    return code == kOk ? ReadFile("t.html") : "code " + std::to_string(code);
  }
  static std::string ViewName(const std::string& before, const char* name) {
    return Rewrite(before, [&](ZRTHtmlFile& file) { return file.SetZRTViewName(name); });
  }
  static std::string TagContent(const std::string& before, const char* content) {
    return Rewrite(before, [&](ZRTHtmlFile& file) { return file.SetZRTTagContent("S", content); });
  }
  static std::string Image(const std::string& before, const char* source, int width, int height) {
    return Rewrite(before,
                   [&](ZRTHtmlFile& file) { return file.SetZRTImageName(source, width, height); });
  }
};

TEST_F(EditsTest, WorkedExamplesComeOutByteForByte) {
  EXPECT_EQ(ViewName("<html>\n<head>\n<ZRTViewName><title>Old name</title></ZRTViewName>\n"
                     "</head>\n<body bgcolor=\"#FFFFFF\">\n<p>Hello <b>world</b></p>\n"
                     "</body>\n</html>\n",
                     "Sales <2007>"),
            "<html>\n<head>\n<ZRTViewName><title>Sales &lt;2007&gt;</title></ZRTViewName>\n"
            "</head>\n<body bgcolor=\"#FFFFFF\" >\n<p>Hello <b>world</b></p>\n</body>\n</html>");
  ZRTUnicodeString name;
  ZRTHtmlFile file("t.html");
  ASSERT_EQ(file.GetZRTViewName(&name), kOk);
  EXPECT_STREQ(name.ConvertToChar(), "Sales <2007>");

  EXPECT_EQ(
      Rewrite("<html>\n<body>\n<h1>Report</h1>\n<Summary>old text<BR>more</Summary>\n</body>\n"
              "</html>\n",
              [](ZRTHtmlFile& f) { return f.SetZRTTagContent("Summary", "Line 1\nLine 2 <b>"); }),
      "<html>\n<body>\n<h1>Report</h1>\n"
      "<!--Summary-->Line 1<BR>Line 2 &lt;b&gt;<BR><!--/Summary-->\n</body>\n</html>");

  EXPECT_EQ(
      Rewrite("<html>\n<body bgcolor=white>\n<p class=\"t\"><ZRTTitle>Old text<BR>\n"
              "more</ZRTTitle></p>\n<!-- note -->\n</body>\n</html>\n",
              [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("ZRTTitle", "New <b>title</b>"); }),
      "<html>\n<body bgcolor=\"white\">\n"
      "<p class=\"t\" ><!--ZRTTitle-->New <b>title</b><!--/ZRTTitle--></p>\n"
      "<!-- note -->\n</body>\n</html>");

  EXPECT_EQ(Image("<p>\n<ZRTImage><img src=\"old.gif\" width=10 height='20' alt=\"logo\">"
                  "</ZRTImage>\n</p>\n",
                  "pics/new.gif", 120, 45),
            "<p>\n<!--ZRTImage--><img src=\"pics/new.gif\" width=\"120\" height=\"45\" "
            "alt=\"logo\" ><!--/ZRTImage-->\n</p>");
  // A dump writes its text as it is, with runs of line feeds folded.
  EXPECT_EQ(Rewrite("<S>x<BR>y</S>",
                    [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("S", "a<b>&\n\n\nc"); }),
            "<!--S-->a<b>&\nc<!--/S-->");
}

TEST_F(EditsTest, ReserialisationKeepsMarkupAndDropsOnlyWhatTheScannerSkips) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"<p>x</p><!--c-->", "<p>x</p><!--c-->"},
      {"<p a=1 b='x'>t</p>\ntext after the last tag", "<p a=\"1\" b=\"x\" >t</p>"},
      {"<a title='say \"hi\"'>", "<a title='say \"hi\"' >"},
      {"<!DOCTYPE html>\n\n\n<p>x</p>", "\n<p>x</p>"},
      {"<p>word<!-- c --></p>", "<p>word<!-- c --></p>"},
  };
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(before);
    EXPECT_EQ(ViewName(before, "N"), after);
  }
}

TEST_F(EditsTest, ViewNameGoesIntoTheFirstTitleAfterTheMarker) {
  struct {
    const char *before, *name, *after;
  } cases[] = {
      {"<title>a</title><ZRTViewName><title>b</title></ZRTViewName><title>c</title>", "N",
       "<title>a</title><ZRTViewName><title>N</title></ZRTViewName><title>c</title>"},
      {"<ZRTViewName></ZRTViewName><TITLE>b</TITLE>", "N",
       "<ZRTViewName></ZRTViewName><TITLE>N</TITLE>"},
      {"<ZRTViewName><Title>b</Title>", "N", "<ZRTViewName><Title>b</Title>"},
      {"<ZRTViewName><title>x<b>y</b>z</title>", "N", "<ZRTViewName><title><b></b>N</title>"},
      {"<ZRTViewName><title></title>", "a & <b>", "<ZRTViewName><title>a & &lt;b&gt;</title>"},
      {"<ZRTViewName><title>old</title>", "", "<ZRTViewName><title></title>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    EXPECT_EQ(ViewName(c.before, c.name), c.after);
  }
}

TEST_F(EditsTest, TagContentFillsEveryRegionOfTheMarker) {
  struct {
    const char *before, *content, *after;
  } cases[] = {
      {"<p>x</p><s>y</s>", "C", "<p>x</p><s>y</s>"},
      {"<S></S>", "C", "<!--S-->C<BR><!--/S-->"},
      {"<S>\nold\n</S>", "C", "<!--S-->\nC<BR><!--/S-->"},
      {"<S><BR></S>", "", "<!--S--><BR><!--/S-->"},
      {"<S id=\"a\">old</S>", "C", "<!--S-- id=\"a\" >C<BR><!--/S-->"},
      {"<S>a<br clear=all><b>b</b>c</S>", "C", "<!--S--><b></b>C<BR><!--/S-->"},
      {"<BR><S><Br></S>", "C", "<BR><!--S--><Br>C<BR><!--/S-->"},
      {"x</S>", "C", "xC<BR><!--/S-->"},
      {"<S>1</S><S>2</S>", "C", "<!--S-->C<BR><!--/S--><!--S-->C<BR><!--/S-->"},
      {"<p><!--S-->C<BR><!--/S-->", "D", "<p><!--S-->C<BR><!--/S-->"},
      {"<S></S>", "a<b>&\n\nc \xC3\xA9", "<!--S-->a&lt;b&gt;&<BR><BR>c \xC3\xA9<BR><!--/S-->"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    EXPECT_EQ(TagContent(c.before, c.content), c.after);
  }
}

TEST_F(EditsTest, ImageValuesChangeOnlyOnTheImageElementOfTheRegion) {
  const std::pair<const char*, const char*> cases[] = {
      {"<img src=a><ZRTIMAGE><img src=b>", "<img src=\"a\"><ZRTIMAGE><img src=\"b\">"},
      {"<p><!--ZRTImage--><img src=a>", "<p><!--ZRTImage--><img src=\"a\">"},
      {"<ZRTImage><Img src=a></ZRTImage>", "<!--ZRTImage--><Img src=\"a\"><!--/ZRTImage-->"},
      {"<ZRTImage><IMG Width=5 width=6 HEIGHT=7 SRC=x alt=y>",
       "<!--ZRTImage--><IMG Width=\"5\" width=\"0\" HEIGHT=\"-5\" SRC=\"a&quot;\xC3\xA9\" "
       "alt=\"y\">"},
      {"<ZRTImage><img src width=3>", "<!--ZRTImage--><img src=\"a&quot;\xC3\xA9\" width=\"0\">"},
      {"<ZRTImage><img alt=x><span width=1>", "<!--ZRTImage--><img alt=\"x\"><span width=\"1\">"},
      {"<ZRTImage><img src></ZRTImage><p height=1>",
       "<!--ZRTImage--><img src><!--/ZRTImage--><p height=\"1\">"},
  };
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(before);
    EXPECT_EQ(Image(before, "a\"\xC3\xA9", 0, -5), after);
  }
}

TEST_F(EditsTest, UnclosedRegionGives10AndChangesNothing) {
  struct Case {
    const char* before;
    Operation operation;
  } cases[] = {
      {"<p><S>old<p>more text", [](ZRTHtmlFile& f) { return f.SetZRTTagContent("S", "C"); }},
      {"<S>a</S><S>b<p>", [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("S", "C"); }},
      {"<ZRTViewName><title>t<p>x", [](ZRTHtmlFile& f) { return f.SetZRTViewName("N"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    EXPECT_EQ(Rewrite(c.before, c.operation), "code 10");
    EXPECT_EQ(ReadFile("t.html"), c.before);
    EXPECT_TRUE(TempFiles().empty());
  }
  // An image region drops nothing, so an unclosed one is no failure.
  EXPECT_EQ(Image("<ZRTImage><img src=a><p>x", "b", 1, 2), "<!--ZRTImage--><img src=\"b\"><p>");
}

}  // namespace
}  // namespace zrtmask
