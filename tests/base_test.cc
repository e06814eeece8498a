// Tests of the base services: the string and its list, the file-access test and the trace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ZRTFileAccess.h"
#include "ZRTUnicodeString.h"
#include "ZRTWebTrace.h"
#include "testing/test_support.h"

namespace zrtmask {
namespace {

class BaseTest : public testing::ScratchDirTest {};

// The bytes as ConvertToUTF8 writes them, using the buffer size callers provide.
std::string Utf8Bytes(const ZRTUnicodeString& text) {
  std::vector<char> buffer(static_cast<std::size_t>(text.GetLengthInChar()) * 4 + 4, '\x7f');
  unsigned int length = 0;
  text.ConvertToUTF8(buffer.data(), &length);
  return std::string(buffer.data(), length);
}

ZRTUnicodeString FromBytes(const std::string& bytes) {
  return ZRTUnicodeString(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

int Find(const std::string& text, const std::string& pattern, int start = 0) {
  return FromBytes(text).SearchSubString(FromBytes(pattern), start, ZRT_SEARCH_EXACT);
}

TEST_F(BaseTest, BytesRoundTripAndCountCharacters) {
  struct Case {
    const char* label;
    std::string bytes;
    int chars;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"ascii", "<p class=\"x\">Hello</p>\n", 23},
      {"two-byte", "caf\xC3\xA9", 4},
      {"three-byte", "\xE2\x82\xAC 5", 3},
      {"four-byte", "\xF0\x9F\x98\x80!", 2},
      {"latin-1 byte", "caf\xE9", 4},
      {"stray continuation",
       "a\x80\xBF"
       "b",
       4},
      {"truncated three-byte", "\xE2\x82", 2},
      {"truncated at end after text", "ab\xF0\x9F\x98", 5},
      {"overlong slash", "\xC0\xAF", 2},
      {"overlong three-byte", "\xE0\x80\xAF", 3},
      {"surrogate", "\xED\xA0\x80", 3},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 4},
      {"bad lead bytes", "\xF8\xFE\xFF", 3},
      {"highest code point", "\xF4\x8F\xBF\xBF", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const ZRTUnicodeString from_count = FromBytes(c.bytes);
    const ZRTUnicodeString from_zero_terminated(c.bytes.c_str());
    EXPECT_EQ(from_count.GetLengthInChar(), c.chars);
    EXPECT_EQ(from_zero_terminated.GetLengthInChar(), c.chars);
    EXPECT_EQ(std::string(from_count.ConvertToChar()), c.bytes);
    EXPECT_EQ(std::string(static_cast<const char*>(from_zero_terminated)), c.bytes);
    EXPECT_EQ(Utf8Bytes(from_count), c.bytes);
  }
}

TEST_F(BaseTest, CountConstructorTakesExactlyCountBytes) {
  {
    SCOPED_TRACE("prefix");
    EXPECT_EQ(std::string(ZRTUnicodeString("abcdef", 3).ConvertToChar()), "abc");
  }
  {
    SCOPED_TRACE("embedded zero: ConvertToChar stops there, ConvertToUTF8 gives all");
    const ZRTUnicodeString text("ab\0cd", 5);
    EXPECT_EQ(text.GetLengthInChar(), 5);
    EXPECT_EQ(std::string(text.ConvertToChar()), "ab");
    EXPECT_EQ(Utf8Bytes(text), std::string("ab\0cd", 5));
  }
  {
    SCOPED_TRACE("null text");
    EXPECT_EQ(ZRTUnicodeString(nullptr, 4).GetLengthInChar(), 0);
    EXPECT_EQ(ZRTUnicodeString(static_cast<const char*>(nullptr)).GetLengthInChar(), 0);
    ZRTUnicodeString assigned("x");
    assigned = static_cast<const char*>(nullptr);
    EXPECT_STREQ(assigned.ConvertToChar(), "");
  }
}

TEST_F(BaseTest, SearchGivesCharacterPositionsOnCharacterBoundaries) {
  struct Case {
    const char* label;
    std::string text;
    std::string pattern;
    int start;
    int expected;
  };
  const Case cases[] = {
      {"at the beginning", "<ZRTView>", "<", 0, 0},
      {"ascii", "abcabc", "ca", 0, 2},
      {"start skips an earlier match", "abcabc", "b", 2, 4},
      {"start on the match", "abcabc", "b", 4, 4},
      {"after two-byte characters", "\xC3\xA9\xC3\xA9<", "<", 0, 2},
      {"after a four-byte character", "\xF0\x9F\x98\x80x", "x", 0, 1},
      {"after invalid bytes", "\xFF\xE2\x82<", "<", 0, 3},
      {"start counted in characters",
       "\xC3\xA9"
       "a\xC3\xA9"
       "a",
       "a", 2, 3},
      {"multi-byte pattern", "x\xE2\x82\xAC", "\xE2\x82\xAC", 0, 1},
      {"not found", "abc", "d", 0, -1},
      {"empty pattern", "abc", "", 0, -1},
      {"empty text", "", "a", 0, -1},
      {"start at the end", "abc", "c", 3, -1},
      {"start beyond the end", "abc", "a", 10, -1},
      {"negative start", "abc", "a", -5, 0},
      // The euro sign is E2 82 AC; a lone continuation byte AC is a character of its own.
      {"no match inside a character", "\xE2\x82\xAC", "\x82\xAC", 0, -1},
      {"match after one inside a character", "\xE2\x82\xAC\x82\xAC", "\x82\xAC", 0, 1},
      {"stray continuation byte matches", "a\xAC", "\xAC", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Find(c.text, c.pattern, c.start), c.expected);
  }
}

TEST_F(BaseTest, ReplaceChangesTheFirstWholeCharacterMatch) {
  struct Case {
    const char* label;
    std::string text;
    std::string old_text;
    std::string new_text;
    int code;
    std::string expected;
  };
  const Case cases[] = {
      {"first only", "a<b<c", "<", "&lt;", 0, "a&lt;b<c"},
      {"after multi-byte", "\xC3\xA9<", "<", "&lt;", 0, "\xC3\xA9&lt;"},
      {"by nothing", "a\nb", "\n", "", 0, "ab"},
      {"not found", "abc", "x", "y", -1, "abc"},
      {"empty old text", "abc", "", "y", -1, "abc"},
      {"inside a character is no match", "\xE2\x82\xAC", "\x82", "x", -1, "\xE2\x82\xAC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZRTUnicodeString text = FromBytes(c.text);
    EXPECT_EQ(text.ReplaceSubString(FromBytes(c.old_text), FromBytes(c.new_text)), c.code);
    EXPECT_EQ(Utf8Bytes(text), c.expected);
  }
}

// Callers replace all occurrences by repeating search and replace; the loop must end and, on a
// long text with many matches, finish promptly (each call is linear).
TEST_F(BaseTest, ReplaceAllLoopsTerminate) {
  std::string content;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    content += "\xC3\xA9<b>x";
    expected += "\xC3\xA9&lt;b&gt;x";
  }
  ZRTUnicodeString text = FromBytes(content);
  const ZRTUnicodeString less("<");
  const ZRTUnicodeString greater(">");
  int replaced = 0;
  while (text.SearchSubString(less, 0, ZRT_SEARCH_EXACT) != -1 && replaced < 10000) {
    text.ReplaceSubString(less, ZRTUnicodeString("&lt;"));
    ++replaced;
  }
  while (text.SearchSubString(greater, 0, ZRT_SEARCH_EXACT) != -1 && replaced < 10000) {
    text.ReplaceSubString(greater, ZRTUnicodeString("&gt;"));
    ++replaced;
  }
  EXPECT_EQ(replaced, 2000);
  EXPECT_EQ(Utf8Bytes(text), expected);
}

TEST_F(BaseTest, RemoveDeletesWholeCharacters) {
  struct Case {
    const char* label;
    std::string text;
    int start;
    int count;
    std::string expected;
  };
  const Case cases[] = {
      {"ascii", "abc", 1, 1, "ac"},
      {"a multi-byte character",
       "a\xC3\xA9"
       "b",
       1, 1, "ab"},
      {"after a multi-byte character", "\xF0\x9F\x98\x80xy", 1, 1, "\xF0\x9F\x98\x80y"},
      {"an invalid byte", "a\xFF\xC3\xA9", 1, 1, "a\xC3\xA9"},
      {"several", "abcdef", 1, 3, "aef"},
      {"count past the end", "abc", 1, 10, "a"},
      {"start at the end", "abc", 3, 1, "abc"},
      {"start beyond the end", "abc", 7, 1, "abc"},
      {"negative start", "abc", -1, 1, "abc"},
      {"zero count", "abc", 0, 0, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZRTUnicodeString text = FromBytes(c.text);
    text.Remove(c.start, c.count);
    EXPECT_EQ(Utf8Bytes(text), c.expected);
  }
}

TEST_F(BaseTest, BuildFromNumPrintsOneInt) {
  struct Case {
    const char* label;
    int number;
    const char* format;
    int code;
    std::string expected;
  };
  const Case cases[] = {
      {"positive", 480, "%d", 0, "480"},
      {"negative", -17, "%d", 0, "-17"},
      {"smallest int", -2147483647 - 1, "%d", 0, "-2147483648"},
      {"with text and width", 7, "w=%03d%%", 0, "w=007%"},
      {"null format", 5, nullptr, -1, "old"},
      {"string conversion", 5, "%s", -1, "old"},
      {"two conversions", 5, "%d%d", -1, "old"},
      {"no conversion", 5, "text", 0, "text"},
      {"star width", 5, "%*d", -1, "old"},
      {"length modifier", 5, "%ld", -1, "old"},
      {"dangling percent", 5, "%d%", -1, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ZRTUnicodeString text("old");
    EXPECT_EQ(text.BuildFromNum(c.number, c.format), c.code);
    EXPECT_EQ(Utf8Bytes(text), c.expected);
  }
}

TEST_F(BaseTest, ListKeepsCopiesInOrder) {
  ZRTListValZRTUnicodeString list;
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_TRUE(list.begin() == list.end());
  ZRTUnicodeString name("ZRTTitle");
  list.Append(name);
  list.Append(ZRTUnicodeString("ZRT\xC3\xA9t\xC3\xA9"));
  name.Reset();
  ASSERT_EQ(list.GetCount(), 2);
  EXPECT_STREQ(list[0].ConvertToChar(), "ZRTTitle");
  std::string joined;
  for (const ZRTUnicodeString& entry : list) joined += std::string(entry.ConvertToChar()) + "|";
  EXPECT_EQ(joined, "ZRTTitle|ZRT\xC3\xA9t\xC3\xA9|");
}

TEST_F(BaseTest, FileAccessAnswersEachMode) {
  testing::WriteFile("readable.html", "<p>");
  testing::WriteFile("secret.html", "<p>");
  ASSERT_EQ(::chmod("secret.html", 0200), 0);
  testing::WriteFile("readonly.html", "<p>");
  ASSERT_EQ(::chmod("readonly.html", 0444), 0);
  struct Case {
    const char* label;
    const char* path;
    int mode;
    int expected;
  };
  const Case cases[] = {
      {"exists", "readable.html", 0, 0},
      {"readable", "readable.html", 4, 0},
      {"writable", "readable.html", 2, 0},
      {"missing", "missing.html", 0, -1},
      {"null path", nullptr, 0, -1},
      {"execute mode is not one of ours", "readable.html", 1, -1},
      {"read and write together is not one of ours", "readable.html", 6, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ZRTFileAccess(c.path, c.mode), c.expected);
  }

  // Permission bits apply only to an unprivileged user (CI runs as root).
  const int unprivileged = testing::RunUnprivileged([] {
    int bits = 0;
    if (ZRTFileAccess("secret.html", 0) == 0) bits |= 1;
    if (ZRTFileAccess("secret.html", 4) == -1) bits |= 2;
    if (ZRTFileAccess("readonly.html", 2) == -1) bits |= 4;
    if (ZRTFileAccess("readonly.html", 4) == 0) bits |= 8;
    return bits;
  });
  EXPECT_EQ(unprivileged, 15) << "bits: 1 exists, 2 unreadable, 4 unwritable, 8 readable";
}

TEST_F(BaseTest, TraceWritesTheMessageToStandardError) {
  ::testing::internal::CaptureStderr();
  ZRTWebTrace::trace("disk full : ZRTHtmlFile::SetZRTTagContent ...\n");
  ZRTWebTrace::trace("%d%%\n", 100);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "disk full : ZRTHtmlFile::SetZRTTagContent ...\n100%\n");
}

}  // namespace
}  // namespace zrtmask
