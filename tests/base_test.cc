// Tests of the base services: the string and its list, the file-access test and the trace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <utility>
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
  const std::vector<std::tuple<const char*, std::string, int>> cases = {
      {"empty", "", 0},
      {"ascii", "<p>Hi</p>\n", 10},
      {"two-byte", "caf\xC3\xA9", 4},
      {"four-byte", "\xF0\x9F\x98\x80!", 2},
      {"latin-1 byte", "caf\xE9", 4},
      {"stray continuation", "a\x80\xBF", 3},
      {"truncated at end after text", "ab\xF0\x9F\x98", 5},
      {"overlong slash", "\xC0\xAF", 2},
      {"overlong three-byte", "\xE0\x80\xAF", 3},
      {"surrogate", "\xED\xA0\x80", 3},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 4},
      {"bad lead bytes", "\xF8\xFE\xFF", 3},
      {"highest code point", "\xF4\x8F\xBF\xBF", 1},
  };
  for (const auto& [label, bytes, chars] : cases) {
    SCOPED_TRACE(label);
    const ZRTUnicodeString from_count = FromBytes(bytes);
    const ZRTUnicodeString from_zero_terminated(bytes.c_str());
    EXPECT_EQ(from_count.GetLengthInChar(), chars);
    EXPECT_EQ(from_zero_terminated.GetLengthInChar(), chars);
    EXPECT_EQ(std::string(from_count.ConvertToChar()), bytes);
    EXPECT_EQ(std::string(static_cast<const char*>(from_zero_terminated)), bytes);
    EXPECT_EQ(Utf8Bytes(from_count), bytes);
  }
}

TEST_F(BaseTest, CountConstructorTakesExactlyCountBytes) {
  EXPECT_EQ(std::string(ZRTUnicodeString("abcdef", 3).ConvertToChar()), "abc");
  // With an embedded zero, ConvertToChar stops there and ConvertToUTF8 gives all.
  const ZRTUnicodeString text("ab\0cd", 5);
  EXPECT_EQ(text.GetLengthInChar(), 5);
  EXPECT_EQ(std::string(text.ConvertToChar()), "ab");
  EXPECT_EQ(Utf8Bytes(text), std::string("ab\0cd", 5));
  // Null text is empty.
  EXPECT_EQ(ZRTUnicodeString(nullptr, 4).GetLengthInChar(), 0);
  EXPECT_EQ(ZRTUnicodeString(static_cast<const char*>(nullptr)).GetLengthInChar(), 0);
  ZRTUnicodeString assigned("x");
  assigned = static_cast<const char*>(nullptr);
  EXPECT_STREQ(assigned.ConvertToChar(), "");
}

TEST_F(BaseTest, SearchGivesCharacterPositionsOnCharacterBoundaries) {
  const std::vector<std::tuple<const char*, std::string, std::string, int, int>> cases = {
      {"ascii", "abcabc", "ca", 0, 2},
      {"start skips an earlier match", "abcabc", "b", 2, 4},
      {"start on the match", "abcabc", "b", 4, 4},
      {"after two-byte characters", "\xC3\xA9\xC3\xA9<", "<", 0, 2},
      {"after a four-byte character", "\xF0\x9F\x98\x80x", "x", 0, 1},
      {"after invalid bytes", "\xFF\xE2\x82<", "<", 0, 3},
      {"start counted in characters", "\xC3\xA9z\xC3\xA9z", "z", 2, 3},
      {"multi-byte pattern", "x\xE2\x82\xAC", "\xE2\x82\xAC", 0, 1},
      {"not found", "abc", "d", 0, -1},
      {"empty pattern", "abc", "", 0, -1},
      {"start at the end", "abc", "c", 3, -1},
      {"start beyond the end", "abc", "a", 10, -1},
      {"negative start", "abc", "a", -5, 0},
      // The euro sign is E2 82 AC; a lone continuation byte AC is a character of its own.
      {"no match inside a character", "\xE2\x82\xAC", "\x82\xAC", 0, -1},
      {"match after one inside a character", "\xE2\x82\xAC\x82\xAC", "\x82\xAC", 0, 1},
      {"stray continuation byte matches", "a\xAC", "\xAC", 0, 1},
  };
  for (const auto& [label, text, pattern, start, expected] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(Find(text, pattern, start), expected);
  }
}

TEST_F(BaseTest, ReplaceChangesTheFirstWholeCharacterMatch) {
  const std::vector<
      std::tuple<const char*, std::string, std::string, std::string, int, std::string>>
      cases = {
          {"first only", "a<b<c", "<", "&lt;", 0, "a&lt;b<c"},
          {"after multi-byte", "\xC3\xA9<", "<", "&lt;", 0, "\xC3\xA9&lt;"},
          {"by nothing", "a\nb", "\n", "", 0, "ab"},
          {"not found", "abc", "x", "y", -1, "abc"},
          {"empty old text", "abc", "", "y", -1, "abc"},
          {"inside a character is no match", "\xE2\x82\xAC", "\x82", "x", -1, "\xE2\x82\xAC"},
      };
  for (const auto& [label, text, old_text, new_text, code, expected] : cases) {
    SCOPED_TRACE(label);
    ZRTUnicodeString subject = FromBytes(text);
    EXPECT_EQ(subject.ReplaceSubString(FromBytes(old_text), FromBytes(new_text)), code);
    EXPECT_EQ(Utf8Bytes(subject), expected);
  }
}

// Callers replace all occurrences by repeating search and replace; the loop must end.
TEST_F(BaseTest, ReplaceAllLoopsTerminate) {
  std::string content, expected;
  for (int i = 0; i < 1000; ++i) content += "\xC3\xA9<b>x", expected += "\xC3\xA9&lt;b&gt;x";
  ZRTUnicodeString text = FromBytes(content);
  int replaced = 0;
  for (auto [from, to] : {std::pair{"<", "&lt;"}, std::pair{">", "&gt;"}}) {
    const ZRTUnicodeString old_text(from), new_text(to);
    while (text.SearchSubString(old_text, 0, ZRT_SEARCH_EXACT) != -1 && replaced < 10000) {
      text.ReplaceSubString(old_text, new_text), ++replaced;
    }
  }
  EXPECT_EQ(replaced, 2000);
  EXPECT_EQ(Utf8Bytes(text), expected);
}

TEST_F(BaseTest, RemoveDeletesWholeCharacters) {
  const std::vector<std::tuple<const char*, std::string, int, int, std::string>> cases = {
      {"ascii", "abc", 1, 1, "ac"},
      {"a multi-byte character", "z\xC3\xA9z", 1, 1, "zz"},
      {"after a multi-byte character", "\xF0\x9F\x98\x80xy", 1, 1, "\xF0\x9F\x98\x80y"},
      {"an invalid byte", "a\xFF\xC3\xA9", 1, 1, "a\xC3\xA9"},
      {"several", "abcdef", 1, 3, "aef"},
      {"count past the end", "abc", 1, 10, "a"},
      {"start at the end", "abc", 3, 1, "abc"},
      {"negative start", "abc", -1, 1, "abc"},
      {"zero count", "abc", 0, 0, "abc"},
  };
  for (const auto& [label, text, start, count, expected] : cases) {
    SCOPED_TRACE(label);
    ZRTUnicodeString subject = FromBytes(text);
    subject.Remove(start, count);
    EXPECT_EQ(Utf8Bytes(subject), expected);
  }
}

TEST_F(BaseTest, BuildFromNumPrintsOneInt) {
  const std::vector<std::tuple<const char*, int, const char*, int, std::string>> cases = {
      {"positive", 480, "%d", 0, "480"},
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
  for (const auto& [label, number, format, code, expected] : cases) {
    SCOPED_TRACE(label);
    ZRTUnicodeString subject("old");
    EXPECT_EQ(subject.BuildFromNum(number, format), code);
    EXPECT_EQ(Utf8Bytes(subject), expected);
  }
}

TEST_F(BaseTest, ListKeepsCopiesInOrder) {
  ZRTListValZRTUnicodeString list;
  EXPECT_TRUE(list.begin() == list.end());
  ZRTUnicodeString name("ZRTTitle");
  list.Append(name);
  list.Append(ZRTUnicodeString("ZRT\xC3\xA9t\xC3\xA9"));
  name.Reset();
  ASSERT_EQ(list.GetCount(), 2);
  std::string joined = std::string(list[0].ConvertToChar()) + "/";
  for (const ZRTUnicodeString& entry : list) joined += std::string(entry.ConvertToChar()) + "|";
  EXPECT_EQ(joined, "ZRTTitle/ZRTTitle|ZRT\xC3\xA9t\xC3\xA9|");
}

TEST_F(BaseTest, FileAccessAnswersEachMode) {
  for (auto [path, bits] : {std::pair{"readable.html", 0644}, std::pair{"secret.html", 0200},
                            std::pair{"readonly.html", 0444}}) {
    testing::WriteFile(path, "<p>");
    ASSERT_EQ(::chmod(path, static_cast<mode_t>(bits)), 0);
  }
  const std::vector<std::tuple<const char*, const char*, int, int>> cases = {
      {"readable", "readable.html", 4, 0},
      {"writable", "readable.html", 2, 0},
      {"missing", "missing.html", 0, -1},
      {"null path", nullptr, 0, -1},
      {"execute mode is not one of ours", "readable.html", 1, -1},
      {"read and write together is not one of ours", "readable.html", 6, -1},
  };
  for (const auto& [label, path, mode, expected] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(ZRTFileAccess(path, mode), expected);
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
