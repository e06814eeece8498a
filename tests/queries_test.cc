// Tests of the four tag queries: view name, tag content, path and the list of marker elements.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::testing::RunUnprivileged;
using zrtmask::testing::WriteFile;

constexpr char kTemplate[] = "mask.html";

class QueriesTest : public zrtmask::testing::ScratchDirTest {};

// Each helper writes html as the template, runs one query and shows "code:answer".

std::string ViewName(const std::string& html, const char* initial = "unset") {
  WriteFile(kTemplate, html);
  ZRTHtmlFile file(kTemplate);
  ZRTUnicodeString name(initial);
  const int code = file.GetZRTViewName(&name);
  return std::to_string(code) + ":" + name.ConvertToChar();
}

std::string TagContent(const std::string& html, const char* tag_name) {
  WriteFile(kTemplate, html);
  ZRTHtmlFile file(kTemplate);
  ZRTUnicodeString content("unset");
  const int code = file.GetZRTTagContent(tag_name, &content);
  return std::to_string(code) + ":" + content.ConvertToChar();
}

std::string Path(const std::string& html) {
  WriteFile(kTemplate, html);
  ZRTHtmlFile file(kTemplate);
  ZRTUnicodeString path("unset");
  const int code = file.GetZRTPath(&path);
  return std::to_string(code) + ":" + path.ConvertToChar();
}

// The list starts with the entry "old"; entries are joined with "|".
std::string ListTags(const ZRTListValZRTUnicodeString& tags) {
  std::string joined;
  for (const ZRTUnicodeString& tag : tags) joined += std::string("|") + tag.ConvertToChar();
  return joined;
}

std::string AllTags(const std::string& html) {
  WriteFile(kTemplate, html);
  ZRTHtmlFile file(kTemplate);
  ZRTListValZRTUnicodeString tags;
  tags.Append("old");
  const int code = file.GetAllZRTTag(&tags);
  return std::to_string(code) + ":" + ListTags(tags);
}

TEST_F(QueriesTest, ViewNameIsTheTitleTextInsideTheViewNameMarker) {
  struct Case {
    const char* html;
    const char* answer;
  };
  const Case cases[] = {
      {"<ZRTViewName><title>Sales</title></ZRTViewName>", "0:Sales"},
      {"<ZRTViewName><TITLE>Sales</TITLE></ZRTViewName>", "0:Sales"},
      {"<title>Sales</title><ZRTViewName></ZRTViewName>", "0:unset"},
      {"<ZRTViewName></ZRTViewName><title>Sales</title>", "0:unset"},
      {"<ZRTViewName><Title>Sales</Title></ZRTViewName>", "0:unset"},
      {"<zrtviewname><title>Sales</title></zrtviewname>", "0:unset"},
      {"<ZRTViewName><title>A</title></ZRTViewName><ZRTViewName><title>B</title>", "0:B"},
      // With other elements inside the title, the last text piece before its end wins.
      {"<ZRTViewName><title>a<b>bold</b>c</title></ZRTViewName>", "0:c"},
      {"<ZRTViewName><title>a<b>bold</b></title></ZRTViewName>", "0:bold"},
      {"<ZRTViewName><title>Sales", "0:unset"},
      {"<ZRTViewName><title>x<!-- note -->Sales</title></ZRTViewName>", "0:Sales"},
      {"<ZRTViewName><title></title></ZRTViewName>", "0:unset"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(ViewName(test.html), test.answer);
  }
}

TEST_F(QueriesTest, ViewNameLosesOneLeadingLineFeed) {
  struct Case {
    const char* html;
    const char* answer;
  };
  const Case cases[] = {
      {"<ZRTViewName><title>\nSales</title>", "0:Sales"},
      {"<ZRTViewName><title>\n\nSales</title>", "0:\nSales"},
      {"<ZRTViewName><title>Sa\nles\n</title>", "0:Sa\nles\n"},
      {"<ZRTViewName><title> \nSales</title>", "0: \nSales"},
      {"<ZRTViewName>\r\n<title>\r\nSales\r\n</title>", "0:Sales\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(ViewName(test.html), test.answer);
  }
}

TEST_F(QueriesTest, ViewNameDecodesLessAndGreaterThanOnly) {
  struct Case {
    const char* html;
    const char* initial;
    const char* answer;
  };
  const Case cases[] = {
      {"<ZRTViewName><title>a &lt;b&gt; c</title>", "", "0:a <b> c"},
      {"<ZRTViewName><title>&amp; &quot; &#60; &LT;</title>", "", "0:&amp; &quot; &#60; &LT;"},
      // Each reference is decoded once: what a decoding forms is not decoded again.
      {"<ZRTViewName><title>&amp;lt; &&lt;gt; &lt;lt;</title>", "", "0:&amp;lt; &<gt; <lt;"},
      {"<ZRTViewName><title>&lt&gt;&gt;&lt;</title>", "", "0:&lt>><"},
      // Kept on purpose: without a title, the caller's own string is decoded.
      {"<p>", "&lt;x&gt;", "0:<x>"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(ViewName(test.html, test.initial), test.answer);
  }
}

TEST_F(QueriesTest, TagContentIsTheTextOfTheNamedRegion) {
  struct Case {
    const char* html;
    const char* name;
    const char* answer;
  };
  const Case cases[] = {
      {"<Summary>one</Summary>", "Summary", "0:one"},
      {"<p>x</p><Summary>one</Summary><p>y</p>", "Summary", "0:one"},
      {"<Summary>one</Summary>", "summary", "0:"},
      {"<summary>one</summary>", "Summary", "0:"},
      // The closing tag is "/" and the exact name; another spelling does not end the region.
      {"<Summary>one</SUMMARY>two<p>", "Summary", "0:onetwo"},
      {"<Summary>one</Summary>two<Summary>three</Summary>", "Summary", "0:onethree"},
      {"<Summary>a<b>bold</b>c</Summary>", "Summary", "0:aboldc"},
      {"<Summary>a &lt;b&gt; &amp;</Summary>", "Summary", "0:a <b> &amp;"},
      // Comments are not content; the text on either side of one is.
      {"<Summary>before<!-- hidden -->after</Summary>", "Summary", "0:beforeafter"},
      {"<Summary><img src=\"a.gif\" alt=\"v\"></Summary>", "Summary", "0:"},
      // Text after the last tag of the file is never reported.
      {"<Summary>one", "Summary", "0:"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(TagContent(test.html, test.name), test.answer);
  }
}

TEST_F(QueriesTest, TagContentLineBreaksComeFromBrElementsOnly) {
  struct Case {
    const char* html;
    const char* answer;
  };
  const Case cases[] = {
      {"<S>one<br>two</S>", "0:one\ntwo"},
      {"<S>one<BR>two</S>", "0:one\ntwo"},
      {"<S>one<Br>two</S>", "0:onetwo"},
      {"<S>one\ntwo</S>", "0:onetwo"},
      {"<S>\none\n<br>\ntwo\n</S>", "0:one\ntwo"},
      {"<S>one\r\ntwo<br>\r\n</S>", "0:onetwo\n"},
      {"<S><br><br></S>", "0:\n\n"},
      {"<br>x<S>one</S><br>", "0:one"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(TagContent(test.html, "S"), test.answer);
  }
}

TEST_F(QueriesTest, PathIsTheLastSysPathInsideThePathMarker) {
  struct Case {
    const char* html;
    const char* answer;
  };
  const Case cases[] = {
      {"<ZRTPath><SYS path=\"a/b\"></ZRTPath>", "0:a/b"},
      {"<ZRTPath><SYS name=\"n\" path='a/b'></ZRTPath>", "0:a/b"},
      {"<SYS path=\"a/b\"><ZRTPath></ZRTPath>", "0:unset"},
      {"<ZRTPath></ZRTPath><SYS path=\"a/b\">", "0:unset"},
      {"<ZRTPath><SYS path=\"one\"><SYS path=\"two\"></ZRTPath>", "0:two"},
      {"<ZRTPath><SYS PATH=\"a/b\"></ZRTPath>", "0:unset"},
      {"<ZRTPath><sys path=\"a/b\"></ZRTPath>", "0:unset"},
      {"<ZRTPath><p path=\"a/b\"></ZRTPath>", "0:unset"},
      // The value is taken as written, and markup inside a comment is not seen.
      {"<ZRTPath><SYS path=\"&lt;x&gt;\"></ZRTPath>", "0:&lt;x&gt;"},
      {"<ZRTPath><!-- <SYS path=\"c\"> --></ZRTPath>", "0:unset"},
      {"<ZRTPath><SYS path=\"\"></ZRTPath>", "0:"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(Path(test.html), test.answer);
  }
}

TEST_F(QueriesTest, AllZrtTagsAreAppendedInDocumentOrder) {
  struct Case {
    const char* html;
    const char* answer;
  };
  const Case cases[] = {
      {"<ZRTViewName><title>x</title></ZRTViewName><ZRTPath></ZRTPath>",
       "0:|old|ZRTViewName|ZRTPath"},
      {"<ZRTA>x</ZRTA><ZRTA>y</ZRTA>", "0:|old|ZRTA|ZRTA"},
      {"<ZRT><ZR><zrtA><Zrt><p>", "0:|old|ZRT"},
      {"<ZRTImage src=\"ZRTx\"><!-- <ZRTHidden> -->", "0:|old|ZRTImage"},
      {"plain text", "0:|old"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(AllTags(test.html), test.answer);
  }
}

TEST_F(QueriesTest, NullOutParametersAreAccepted) {
  WriteFile(kTemplate,
            "<ZRTViewName><title>T</title></ZRTViewName><S>c</S>"
            "<ZRTPath><SYS path=\"p\"></ZRTPath>");
  ZRTHtmlFile file(kTemplate);
  EXPECT_EQ(file.GetZRTViewName(nullptr), zrtmask::kOk);
  EXPECT_EQ(file.GetZRTTagContent("S", nullptr), zrtmask::kOk);
  EXPECT_EQ(file.GetZRTPath(nullptr), zrtmask::kOk);
  EXPECT_EQ(file.GetAllZRTTag(nullptr), zrtmask::kOk);
}

// Runs all four queries on file. Shows the codes and the out-parameters: "2 2 2 2
// unset||unset|old".
std::string QueryAll(ZRTHtmlFile& file) {
  ZRTUnicodeString name("unset");
  ZRTUnicodeString content("unset");
  ZRTUnicodeString path("unset");
  ZRTListValZRTUnicodeString tags;
  tags.Append("old");
  std::string codes = std::to_string(file.GetZRTViewName(&name)) + " " +
                      std::to_string(file.GetZRTTagContent("S", &content)) + " " +
                      std::to_string(file.GetZRTPath(&path)) + " " +
                      std::to_string(file.GetAllZRTTag(&tags));
  return codes + " " + name.ConvertToChar() + "|" + content.ConvertToChar() + "|" +
         path.ConvertToChar() + ListTags(tags);
}

// The template cannot be opened: the open code comes back from every query; only the tag
// content is emptied.
TEST_F(QueriesTest, TemplateThatCannotBeOpenedGivesItsCode) {
  const std::string full_template =
      "<ZRTViewName><title>T</title></ZRTViewName><S>c</S><ZRTPath><SYS path=\"p\"></ZRTPath>";
  {
    SCOPED_TRACE("missing");
    ZRTHtmlFile file("absent.html");
    EXPECT_EQ(QueryAll(file), "2 2 2 2 unset||unset|old");
  }
  {
    SCOPED_TRACE("no path");
    ZRTHtmlFile file;
    EXPECT_EQ(QueryAll(file), "2 2 2 2 unset||unset|old");
  }
  {
    SCOPED_TRACE("directory");
    ASSERT_EQ(::mkdir("folder.html", 0777), 0);
    ZRTHtmlFile file("folder.html");
    EXPECT_EQ(QueryAll(file), "15 15 15 15 unset||unset|old");
  }
  {
    SCOPED_TRACE("not readable");
    WriteFile(kTemplate, full_template);
    ASSERT_EQ(::chmod(kTemplate, 0200), 0);
    const int matches = RunUnprivileged([] {
      ZRTHtmlFile file(kTemplate);
      return QueryAll(file) == "1 1 1 1 unset||unset|old" ? 1 : 0;
    });
    EXPECT_EQ(matches, 1);
  }
  {
    SCOPED_TRACE("readable again");
    ASSERT_EQ(::chmod(kTemplate, 0644), 0);
    ZRTHtmlFile file(kTemplate);
    EXPECT_EQ(QueryAll(file), "0 0 0 0 T|c|p|old|ZRTViewName|ZRTPath");
  }
}

}  // namespace
