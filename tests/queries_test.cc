// Tests of the four tag queries: view name, tag content, path and the list of marker elements.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::testing::RunUnprivileged;
using zrtmask::testing::WriteFile;

constexpr char kTemplate[] = "mask.html";

class QueriesTest : public zrtmask::testing::ScratchDirTest {};

using Query = std::function<int(ZRTHtmlFile&, ZRTUnicodeString*)>;
const Query kViewName = [](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTViewName(s); };
const Query kPath = [](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTPath(s); };
Query ContentOf(const char* name) {
  return [name](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTTagContent(name, s); };
}
const Query kContentOfS = ContentOf("S");
constexpr char kFullTemplate[] =
    "<ZRTViewName><title>T</title></ZRTViewName><S>c</S><ZRTPath><SYS path=\"p\"></ZRTPath>";

struct Case {
  const char* html;
  const char* answer;             // "code:out-parameter"
  const char* initial = "unset";  // the out-parameter before the query
};

// Writes each html as the template and runs query on it.
void ExpectAnswers(const std::vector<Case>& cases, const Query& query) {
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    WriteFile(kTemplate, test.html);
    ZRTHtmlFile file(kTemplate);
    ZRTUnicodeString out(test.initial);
    const int code = query(file, &out);
    EXPECT_EQ(std::to_string(code) + ":" + out.ConvertToChar(), test.answer);
  }
}

TEST_F(QueriesTest, ViewNameIsTheTitleTextInsideTheViewNameMarker) {
  const std::vector<Case> cases = {
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
  ExpectAnswers(cases, kViewName);
}

TEST_F(QueriesTest, ViewNameLosesOneLeadingLineFeed) {
  const std::vector<Case> cases = {
      {"<ZRTViewName><title>\nSales</title>", "0:Sales"},
      {"<ZRTViewName><title>\n\nSales</title>", "0:\nSales"},
      {"<ZRTViewName><title>Sa\nles\n</title>", "0:Sa\nles\n"},
      {"<ZRTViewName><title> \nSales</title>", "0: \nSales"},
      {"<ZRTViewName>\r\n<title>\r\nSales\r\n</title>", "0:Sales\n"},
  };
  ExpectAnswers(cases, kViewName);
}

TEST_F(QueriesTest, ViewNameDecodesLessAndGreaterThanOnly) {
  const std::vector<Case> cases = {
      {"<ZRTViewName><title>a &lt;b&gt; c</title>", "0:a <b> c"},
      {"<ZRTViewName><title>&amp; &quot; &#60; &LT;</title>", "0:&amp; &quot; &#60; &LT;"},
      // Each reference is decoded once: what a decoding forms is not decoded again.
      {"<ZRTViewName><title>&amp;lt; &&lt;gt; &lt;lt;</title>", "0:&amp;lt; &<gt; <lt;"},
      {"<ZRTViewName><title>&lt&gt;&gt;&lt;</title>", "0:&lt>><"},
      // Kept on purpose: without a title, the caller's own string is decoded.
      {"<p>", "0:<x>", "&lt;x&gt;"},
  };
  ExpectAnswers(cases, kViewName);
}

TEST_F(QueriesTest, TagContentIsTheTextOfTheNamedRegion) {
  const std::vector<Case> cases = {
      {"<p>x</p><S>one</S><p>y</p>", "0:one"},
      {"<s>one</s>", "0:"},
      // The closing tag is "/" and the exact name; another spelling
      // does not end the region.
      {"<S>one</s>two<p>", "0:onetwo"},
      {"<S>one</S>two<S>three</S>", "0:onethree"},
      {"<S>a<b>bold</b>c</S>", "0:aboldc"},
      {"<S>a &lt;b&gt; &amp;</S>", "0:a <b> &amp;"},
      // Comments are not content; the text on either side of one is.
      {"<S>before<!-- hidden -->after</S>", "0:beforeafter"},
      {"<S><img src=\"a.gif\" alt=\"v\"></S>", "0:"},
      // Text after the last tag of the file is never reported.
      {"<S>one", "0:"},
  };
  ExpectAnswers(cases, kContentOfS);
  // The name asked for is matched in its exact case too.
  ExpectAnswers({{"<S>one</S>", "0:"}}, ContentOf("s"));
}

TEST_F(QueriesTest, TagContentLineBreaksComeFromBrElementsOnly) {
  const std::vector<Case> cases = {
      {"<S>one<br>two</S>", "0:one\ntwo"},
      {"<S>one<BR>two</S>", "0:one\ntwo"},
      {"<S>one<Br>two</S>", "0:onetwo"},
      {"<S>\none\n<br>\ntwo\n</S>", "0:one\ntwo"},
      {"<S>one\r\ntwo<br>\r\n</S>", "0:onetwo\n"},
      {"<S><br><br></S>", "0:\n\n"},
      {"<br>x<S>one</S><br>", "0:one"},
  };
  ExpectAnswers(cases, kContentOfS);
}

TEST_F(QueriesTest, PathIsTheLastSysPathInsideThePathMarker) {
  const std::vector<Case> cases = {
      {"<ZRTPath><SYS path=\"a/b\"></ZRTPath>", "0:a/b"},
      {"<ZRTPath><SYS name=\"n\" path='a/b'></ZRTPath>", "0:a/b"},
      {"<SYS path=\"a/b\"><ZRTPath></ZRTPath>", "0:unset"},
      {"<ZRTPath></ZRTPath><SYS path=\"a/b\">", "0:unset"},
      {"<ZRTPath><SYS path=\"one\"><SYS path=\"two\"></ZRTPath>", "0:two"},
      {"<ZRTPath><SYS PATH=\"a/b\"></ZRTPath>", "0:unset"},
      {"<ZRTPath><sys path=\"a/b\"></ZRTPath>", "0:unset"},
      // The value is taken as written, and markup inside a comment is not seen.
      {"<ZRTPath><SYS path=\"&lt;x&gt;\"></ZRTPath>", "0:&lt;x&gt;"},
      {"<ZRTPath><!-- <SYS path=\"c\"> --></ZRTPath>", "0:unset"},
      {"<ZRTPath><SYS path=\"\"></ZRTPath>", "0:"},
  };
  ExpectAnswers(cases, kPath);
}

// Runs GetAllZRTTag on the template at path with a list holding "old": "code:|old|ZRTA".
std::string AllTags(const char* path) {
  ZRTHtmlFile file(path);
  ZRTListValZRTUnicodeString tags;
  tags.Append("old");
  std::string shown = std::to_string(file.GetAllZRTTag(&tags)) + ":";
  for (const ZRTUnicodeString& tag : tags) shown += std::string("|") + tag.ConvertToChar();
  return shown;
}

TEST_F(QueriesTest, AllZrtTagsAreAppendedInDocumentOrder) {
  const std::pair<const char*, const char*> cases[] = {
      {"<ZRTViewName><title>x</title></ZRTViewName><ZRTPath></ZRTPath>",
       "0:|old|ZRTViewName|ZRTPath"},
      {"<ZRTA>x</ZRTA><ZRTA>y</ZRTA>", "0:|old|ZRTA|ZRTA"},
      {"<ZRT><ZR><zrtA><Zrt><p>", "0:|old|ZRT"},
      {"<ZRTImage src=\"ZRTx\"><!-- <ZRTHidden> -->", "0:|old|ZRTImage"},
      {"plain text", "0:|old"},
  };
  for (const auto& [html, tags] : cases) {
    SCOPED_TRACE(html);
    WriteFile(kTemplate, html);
    EXPECT_EQ(AllTags(kTemplate), tags);
  }
}

TEST_F(QueriesTest, NullOutParametersAreAccepted) {
  WriteFile(kTemplate, kFullTemplate);
  ZRTHtmlFile file(kTemplate);
  for (const Query& query : {kViewName, kContentOfS, kPath})
    EXPECT_EQ(query(file, nullptr), zrtmask::kOk);
  EXPECT_EQ(file.GetAllZRTTag(nullptr), zrtmask::kOk);
}

// Runs all four queries on the template at path and shows each "code:out-parameter".
std::string QueryAll(const char* path) {
  ZRTHtmlFile file(path);
  std::string shown;
  for (const Query& query : {kViewName, kContentOfS, kPath}) {
    ZRTUnicodeString out("unset");
    const int code = query(file, &out);
    shown += std::to_string(code) + ":" + out.ConvertToChar() + " ";
  }
  return shown + AllTags(path);
}

// The template cannot be opened: the open code comes back from every query; only the tag
// content is emptied.
TEST_F(QueriesTest, TemplateThatCannotBeOpenedGivesItsCode) {
  EXPECT_EQ(QueryAll("absent.html"), "2:unset 2: 2:unset 2:|old");
  EXPECT_EQ(QueryAll(nullptr), "2:unset 2: 2:unset 2:|old");
  ASSERT_EQ(::mkdir("folder.html", 0777), 0);
  EXPECT_EQ(QueryAll("folder.html"), "15:unset 15: 15:unset 15:|old");
  WriteFile(kTemplate, kFullTemplate);
  ASSERT_EQ(::chmod(kTemplate, 0200), 0);
  EXPECT_EQ(
      RunUnprivileged([] { return QueryAll(kTemplate) == "1:unset 1: 1:unset 1:|old" ? 1 : 0; }),
      1);
  ASSERT_EQ(::chmod(kTemplate, 0644), 0);
  EXPECT_EQ(QueryAll(kTemplate), "0:T 0:c 0:p 0:|old|ZRTViewName|ZRTPath");
}

}  // namespace
