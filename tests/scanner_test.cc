// Tests of the HTML item scanner: item sequences, buffers, limits, line numbers, line ends,
// the end of input, masks, opening and moving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::testing::ReadFile;
using zrtmask::testing::RunUnprivileged;
using zrtmask::testing::WriteFile;

constexpr char kFile[] = "scan.html";
constexpr int kAllTypes = 63;
constexpr int kMaxName = 255;
constexpr int kMaxValue = 524287;

class ScannerTest : public zrtmask::testing::ScratchDirTest {};

std::string TypeName(int type) {
  switch (type) {
    case ITEM_TAG:
      return "TAG";
    case ITEM_ATTRIBUTE:
      return "ATTR";
    case ITEM_TEXT:
      return "TEXT";
    case ITEM_COMMENT:
      return "COMMENT";
    case ITEM_VALUE:
      return "VALUE";
  }
  return "TYPE" + std::to_string(type);
}

enum class Shape { kItems, kLines, kFull };

// Scans html with mask and joins the items with "|": "TAG p|ATTR class" shows the buffer that
// each type names; kLines adds "@line" to each; kFull gives one line per item with both
// buffers, "TYPE name|value@line".
std::string Scan(const std::string& html, int mask, Shape shape) {
  WriteFile(kFile, html);
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(mask);
  EXPECT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  std::string items;
  while (scanner.FindNextItem() == 1) {
    const int type = scanner.GetItemType();
    const std::string line = "@" + std::to_string(scanner.GetCurrentLineNb());
    if (shape == Shape::kFull) {
      items +=
          TypeName(type) + " " + scanner.GetItemName() + "|" + scanner.GetItemValue() + line + "\n";
      continue;
    }
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    if (!items.empty()) items += "|";
    items += TypeName(type) + " " + (named ? scanner.GetItemName() : scanner.GetItemValue());
    if (shape == Shape::kLines) items += line;
  }
  return items;
}

std::string ScanAll(const std::string& html, int mask = kAllTypes) {
  return Scan(html, mask, Shape::kItems);
}
std::string ScanLines(const std::string& html, int mask = kAllTypes) {
  return Scan(html, mask, Shape::kLines);
}
std::string ScanFull(const std::string& html, int mask) { return Scan(html, mask, Shape::kFull); }

struct Case {
  const char* html;
  const char* items;
};

void ExpectItems(const std::vector<Case>& cases, int mask = kAllTypes) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(ScanAll(c.html, mask), c.items);
  }
}

// The item rules written out plainly, one character at a time over a string, for comparison
// with the scanner, which takes runs of characters at a time from its read buffer. Gives the
// same form as ScanFull.
class ReferenceScanner {
 public:
  ReferenceScanner(const std::string& html, int mask) : mask_(mask) {
    for (std::size_t i = 0; i < html.size(); ++i) {
      if (html[i] != '\r' || i + 1 == html.size() || html[i + 1] != '\n') input_ += html[i];
    }
  }

  std::string ScanAll() {
    std::string items;
    while (FindNext()) {
      items += TypeName(type_) + " " + name_ + "|" + value_ + "@" + std::to_string(line_) + "\n";
    }
    return items;
  }

 private:
  static bool Blank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  int Get() {
    return position_ < input_.size() ? static_cast<unsigned char>(input_[position_++]) : -1;
  }
  int Peek() {
    return position_ < input_.size() ? static_cast<unsigned char>(input_[position_]) : -1;
  }
  void Unget(int c) { position_ -= c == -1 ? 0 : 1; }
  bool Report(int type) {
    if ((mask_ & type) == 0) return false;
    type_ = type;
    return true;
  }
  void Append(std::string& buffer, int c, std::size_t limit) {
    if (buffer.size() < limit) buffer += static_cast<char>(c);
  }
  void ClearValue() { value_.clear(), value_building_.clear(); }

  bool FindNext() {
    name_.clear(), value_.clear(), name_building_.clear(), value_building_.clear();
    bool waiting = true, skipping = false, found = false, at_end = false;
    int quote = 0;
    do {
      const int c = Get();
      if (c == '\n') ++line_;
      if (c == -1) at_end = true;
      if (skipping) {
        skipping = c != '>';
      } else if (state_ == ITEM_TEXT) {
        if (c == '<' && !Blank(Peek())) {
          bool comment = false;
          if (Peek() == '!') {
            Get();
            const int second = Get();
            comment = second == '-' && Peek() == '-';
            if (!comment) {
              Unget(second);
              skipping = true;
              continue;
            }
          }
          value_ = value_building_;
          found = !value_.empty() && Report(ITEM_TEXT);
          value_building_.clear(), skip_blanks_ = false;
          state_ = comment ? ITEM_COMMENT : ITEM_TAG;
        } else if (Blank(c) || c >= 32) {
          value_building_ += static_cast<char>(c);
          if (value_building_.size() == kMaxValue) {
            value_ = value_building_, value_building_.clear();
            found = Report(ITEM_TEXT);
          }
        }
      } else if (state_ == ITEM_TAG || state_ == ITEM_ATTRIBUTE) {
        const bool element = state_ == ITEM_TAG;
        if (Blank(c) && !skip_blanks_) {
          name_ = name_building_, name_building_.clear();
          found = Report(state_);
          state_ = element ? ITEM_ATTRIBUTE : ITEM_VALUE;
          waiting = true, quote = 0;
          ClearValue();
        } else if (c == '=') {
          name_ = name_building_, name_building_.clear();
          if (!element) {
            found = Report(ITEM_ATTRIBUTE);
            state_ = ITEM_VALUE, waiting = true;
            Unget(c), ClearValue();
          }
        } else if (c == '>') {
          name_ = name_building_, name_building_.clear();
          found = Report(state_);
          ClearValue(), state_ = ITEM_TEXT;
        } else if (!Blank(c)) {
          Append(name_building_, c, kMaxName);
        }
        if (!Blank(c) || !skip_blanks_) skip_blanks_ = false;
      } else if (state_ == ITEM_VALUE && waiting) {
        if (c == '>' || (!Blank(c) && c != '=')) {
          ClearValue(), found = Report(ITEM_VALUE);
          state_ = c == '>' ? ITEM_TEXT : ITEM_ATTRIBUTE, skip_blanks_ = c != '>';
          if (c != '>') Unget(c);
        } else if (c == '=') {
          waiting = false, quote = 0;
        }
      } else if (state_ == ITEM_VALUE) {
        const bool value_ends = (c == '"' || c == '\'') ? c == quote
                                : quote != 0            ? false
                                             : c == '>' || (Blank(c) && !value_building_.empty());
        if ((c == '"' || c == '\'') && quote == 0) {
          quote = c;
        } else if (value_ends) {
          value_ = value_building_, value_building_.clear();
          found = Report(ITEM_VALUE);
          skip_blanks_ = quote != 0, state_ = c == '>' ? ITEM_TEXT : ITEM_ATTRIBUTE;
        } else {
          Append(value_building_, c, kMaxValue);
        }
      } else {  // comment
        Append(value_building_, c, kMaxValue);
        if (c == '-') {
          const int third = Get();
          if (third == '-' && Peek() == '>') {
            Get();
            value_ = value_building_, value_building_.clear();
            found = Report(ITEM_COMMENT);
            state_ = ITEM_TEXT, skip_blanks_ = false;
          } else {
            Unget(third);
          }
        }
      }
    } while (!at_end && !found);
    return !at_end;
  }

  const int mask_;
  std::string input_;
  std::size_t position_ = 0;
  int line_ = 1;
  int state_ = ITEM_TEXT;
  int type_ = 0;
  bool skip_blanks_ = false;
  std::string name_, value_, name_building_, value_building_;
};

TEST_F(ScannerTest, ItemSequencesOfCommonMarkup) {
  ExpectItems({
      {"<p class=\"x\">", "TAG p|ATTR class|VALUE x|ATTR "},
      {"<br >", "TAG br|ATTR "},
      {"<td nowrap>", "TAG td|ATTR nowrap"},
      {"<td nowrap >", "TAG td|ATTR nowrap|VALUE "},
      {"<a  href=\"u\">", "TAG a|ATTR |VALUE |ATTR href|VALUE u|ATTR "},
      {"</p>", "TAG /p"},
      {"<!--c-->text<p>", "COMMENT -c-|TEXT text|TAG p"},
      {"<!DOCTYPE html>", ""},
      {"<img width=100 height='5' alt=\"it's\">",
       "TAG img|ATTR width|VALUE 100|ATTR height|VALUE 5|ATTR alt|VALUE it's|ATTR "},
      {"<p>one\n two\n</p>", "TAG p|TEXT one\n two\n|TAG /p"},
      {"<br/>", "TAG br/"},
      {"<p=x>", "TAG x"},  // "=" in an element name drops what came before it
  });
}

TEST_F(ScannerTest, TextRules) {
  ExpectItems({
      {"only text, no tag", ""},
      {"<p>text after the last tag", "TAG p"},
      {"a < b<p>", "TEXT a < b|TAG p"},
      {"a <\tb<p>", "TEXT a <\tb|TAG p"},
      {"a\x01\x1f"
       "b\t\v\f\r\x7f\xe9<p>",
       "TEXT ab\t\v\f\r\x7f\xe9|TAG p"},
      {"<p><b>", "TAG p|TAG b"},  // empty text is never reported
      {"abc<", "TEXT abc"},       // the end of input after "<" is not a blank
  });
  // A zero byte in the file is a control byte, dropped from the text.
  EXPECT_EQ(ScanAll(std::string("a\0b<p>", 6)), "TEXT ab|TAG p");
}

TEST_F(ScannerTest, CommentForms) {
  ExpectItems({
      {"<!---->", "COMMENT --"},
      {"<!-- a > b -->", "COMMENT - a > b -"},
      {"<!--a--b-->", "COMMENT -a--b-"},
      {"<!--a--->", "COMMENT -a--"},
      {"<!--x\ny-->", "COMMENT -x\ny-"},
      {"<!-- <p class=\"x\"> -->", "COMMENT - <p class=\"x\"> -"},
  });
  // With text only, no part of a comment shows, and the text around it is kept whole.
  ExpectItems({{"<p>a<!-- c -->b<i>", "TEXT a|TEXT b"}}, ITEM_TEXT);
}

TEST_F(ScannerTest, DeclarationsAreSkipped) {
  ExpectItems({
      {"<!DOCTYPE html><p>", "TAG p"},
      {"<p>a<!DOCTYPE x>b<i>", "TAG p|TEXT ab|TAG i"},
      {"<p>a<!-x>b<i>", "TAG p|TEXT ab|TAG i"},
      {"<p>a<!>b<i>", "TAG p|TEXT ab|TAG i"},
      {"<!-\n-><p>", "TAG p"},
  });
  EXPECT_EQ(ScanLines("<!DOC\nTYPE\n>\n<p>"), "TEXT \n@4|TAG p@4");
}

TEST_F(ScannerTest, QuotedAndUnquotedValues) {
  ExpectItems({
      {"<a b='x \"y\"'>", "TAG a|ATTR b|VALUE x \"y\"|ATTR "},
      {"<a b=\"x>y\" c>", "TAG a|ATTR b|VALUE x>y|ATTR c"},
      {"<a b=x\"y z\">", "TAG a|ATTR b|VALUE xy z|ATTR "},
      {"<a b=\"\">", "TAG a|ATTR b|VALUE |ATTR "},
      {"<a b=x=y>", "TAG a|ATTR b|VALUE x=y"},
      {"<a b=1 c=2>", "TAG a|ATTR b|VALUE 1|ATTR c|VALUE 2"},
      {"<a b=\"1\"c='2'>", "TAG a|ATTR b|VALUE 1|ATTR c|VALUE 2|ATTR "},
      {"<a b=\"open>text<p>", "TAG a|ATTR b"},  // runs to the end of the file
  });
}

TEST_F(ScannerTest, BlanksAroundEquals) {
  ExpectItems({
      {"<a b =\"x\">", "TAG a|ATTR b|VALUE x|ATTR "},
      {"<a b = \"x\">", "TAG a|ATTR b|VALUE  x|ATTR "},
      {"<a b=  x>", "TAG a|ATTR b|VALUE  |ATTR x"},  // the second blank ends the value
      {"<a b\n=\nx>", "TAG a|ATTR b|VALUE \nx"},
      {"<a b= >", "TAG a|ATTR b|VALUE  "},
  });
}

TEST_F(ScannerTest, NameBufferOfValueItems) {
  // Without attribute items, a value comes with its attribute's name; with them, with none.
  const std::string html = "<SYS path=\"c:/x\" mode=ro>";
  EXPECT_EQ(ScanFull(html, 41), "TAG SYS|@1\nVALUE path|c:/x@1\nVALUE mode|ro@1\n");
  EXPECT_EQ(ScanFull(html, kAllTypes),
            "TAG SYS|@1\nATTR path|@1\nVALUE |c:/x@1\nATTR mode|@1\nVALUE |ro@1\n");
}

TEST_F(ScannerTest, MasksChooseItems) {
  const std::string html = "<p class=\"x\" nowrap >a<!--c--><SYS path=y>b</p>";
  EXPECT_EQ(ScanAll(html, 1), "TAG p|TAG SYS|TAG /p");
  EXPECT_EQ(ScanAll(html, 4), "TEXT a|TEXT b");
  EXPECT_EQ(ScanAll(html, 37), "TAG p|VALUE x|VALUE |TEXT a|TAG SYS|VALUE y|TEXT b|TAG /p");
  EXPECT_EQ(ScanAll(html, 41), "TAG p|VALUE x|VALUE |COMMENT -c-|TAG SYS|VALUE y|TAG /p");
  EXPECT_EQ(ScanAll(html, 0), "");
}

TEST_F(ScannerTest, TextBeforeCommentIsReported) {
  EXPECT_EQ(ScanLines("<p>word\n<!--c\n-->more<b>"),
            "TAG p@1|TEXT word\n@2|COMMENT -c\n-@3|TEXT more@3|TAG b@3");
  EXPECT_EQ(ScanAll("<p>word<!--c-->", ITEM_COMMENT), "COMMENT -c-");
  EXPECT_EQ(ScanAll("word<!---->x<p>", ITEM_TEXT | ITEM_COMMENT), "TEXT word|COMMENT --|TEXT x");
}

TEST_F(ScannerTest, LimitsCutNamesValuesAndComments) {
  const std::string long_name(300, 'n');
  const std::string long_value(kMaxValue + 10, 'v');
  const std::string cut_name = long_name.substr(0, kMaxName);
  const std::string cut_value = long_value.substr(0, kMaxValue);
  EXPECT_EQ(ScanAll("<" + long_name + " " + long_name + "=x>", 3),
            "TAG " + cut_name + "|ATTR " + cut_name);
  EXPECT_EQ(ScanAll("<a b=\"" + long_value + "\" c=" + long_value + ">", 32),
            "VALUE " + cut_value + "|VALUE " + cut_value);
  EXPECT_EQ(ScanAll("<!--" + long_value + "--><p>"), "COMMENT -" + cut_value.substr(1) + "|TAG p");
  EXPECT_EQ(ScanAll("<" + std::string(kMaxName, 'n') + ">"), "TAG " + std::string(kMaxName, 'n'));
}

TEST_F(ScannerTest, LongTextIsReportedInPieces) {
  std::string text;
  for (int i = 0; text.size() < 2 * static_cast<std::size_t>(kMaxValue) + 5; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  WriteFile(kFile, "<p>" + text + "<b>");
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(ITEM_TEXT | ITEM_TAG);
  ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  std::string joined;
  std::vector<std::size_t> sizes;
  while (scanner.FindNextItem() == 1) {
    if (scanner.GetItemType() != ITEM_TEXT) continue;
    sizes.push_back(std::string(scanner.GetItemValue()).size());
    joined += scanner.GetItemValue();
    const auto lines_so_far = std::count(joined.begin(), joined.end(), '\n');
    EXPECT_EQ(scanner.GetCurrentLineNb(), 1 + lines_so_far);
  }
  EXPECT_EQ(joined, text);
  ASSERT_EQ(sizes.size(), 3u);
  EXPECT_EQ(sizes[0], static_cast<std::size_t>(kMaxValue));
  EXPECT_EQ(sizes[1], static_cast<std::size_t>(kMaxValue));

  // A text of exactly the limit is one item, with no empty one after it.
  const std::string full(kMaxValue, 't');
  EXPECT_EQ(ScanAll(full + "<p>"), "TEXT " + full + "|TAG p");
}

TEST_F(ScannerTest, LineNumbers) {
  EXPECT_EQ(ScanLines("\n\n<p>"), "TEXT \n\n@3|TAG p@3");
  EXPECT_EQ(ScanLines("\n\n<p\n>", ITEM_TAG | ITEM_ATTRIBUTE), "TAG p@4|ATTR @4");
  EXPECT_EQ(ScanLines("<a\nb\n=\n'x\ny'\n>"), "TAG a@2|ATTR b@3|VALUE \nx\ny@5|ATTR @6");
  EXPECT_EQ(ScanLines("<p>a\nb\n<i>"), "TAG p@1|TEXT a\nb\n@3|TAG i@3");
  EXPECT_EQ(ScanLines("<!--\n-\n-\n--><p>"), "COMMENT -\n-\n-\n-@4|TAG p@4");
  EXPECT_EQ(ScanLines("<a\n\nb=1\n>"), "TAG a@2|ATTR @3|VALUE @3|ATTR b@3|VALUE 1@4|ATTR @4");
}

TEST_F(ScannerTest, CrLfScansLikeLf) {
  const std::string sample =
      ReadFile(std::string(ZRTMASK_TEST_DATA_DIR) + "/scanner_template.html");
  std::string crlf;
  for (char c : sample) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(ScanLines(crlf), ScanLines(sample));
  ExpectItems({
      {"a\rb<p>", "TEXT a\rb|TAG p"},
      {"a\r\r\nb<p>", "TEXT a\r\nb|TAG p"},
      {"a<\r\np><i>", "TEXT a<\np>|TAG i"},  // the peek after "<" sees the line feed
      {"<a\r\nb=1>", "TAG a|ATTR b|VALUE 1"},
  });
  // A CR LF split between two reads of the file, and a lone CR at the end of a read.
  for (std::size_t length : {65535u, 65536u, 65537u, 131072u}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'x');
    EXPECT_EQ(ScanLines(text + "\r\n<p>", 4), "TEXT " + text + "\n@2");
    EXPECT_EQ(ScanLines(text + "\ry<p>", 4), "TEXT " + text + "\ry@1");
  }
}

TEST_F(ScannerTest, EndOfInputLosesTheOpenItem) {
  ExpectItems({
      {"<p", ""},
      {"<p class", "TAG p"},
      {"<p class=\"x", "TAG p|ATTR class"},
      {"<p class=x", "TAG p|ATTR class"},
      {"<p>text", "TAG p"},
      {"<!-- open", ""},
      {"<!-- open --", ""},
      {"<!DOCTYPE", ""},
      {"", ""},
  });
  WriteFile(kFile, "<p>");
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(kAllTypes);
  ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  EXPECT_EQ(scanner.FindNextItem(), 1);
  EXPECT_EQ(scanner.FindNextItem(), 0);
  EXPECT_EQ(scanner.FindNextItem(), 0);
}

TEST_F(ScannerTest, EveryPrefixOfTheSamplesScans) {
  for (const char* name : {"scanner_template.html", "scanner_malformed.html"}) {
    const std::string sample = ReadFile(std::string(ZRTMASK_TEST_DATA_DIR) + "/" + name);
    ASSERT_FALSE(sample.empty()) << name;
    for (std::size_t length = 0; length <= sample.size(); ++length) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(length));
      const std::string prefix = sample.substr(0, length);
      const int last_line = 1 + static_cast<int>(std::count(prefix.begin(), prefix.end(), '\n'));
      WriteFile(kFile, prefix);
      for (int mask : {1, kAllTypes}) {
        ZRTDcHtmlHandler scanner;
        scanner.SetFindTypes(mask);
        ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
        std::size_t items = 0;
        while (scanner.FindNextItem() == 1) {
          ASSERT_LE(++items, length) << "no end in sight";
          ASSERT_LE(scanner.GetCurrentLineNb(), last_line);
        }
      }
    }
  }
}

// Markup made of pieces that hit every row of the state table, with long runs among them.
std::string RandomMarkup(std::mt19937& random, std::size_t pieces) {
  static const char* const kPieces[] = {
      "<",
      ">",
      "=",
      "\"",
      "'",
      "-",
      "!",
      " ",
      "\n",
      "\r\n",
      "\r",
      "\t",
      "<!",
      "<!--",
      "-->",
      "<p ",
      "x=1 ",
      "\x01",
      "\xe9\x80",
      "--",
      "a",
      "bcd",
      "<b>",
      "</b>",
      "<a href=\"u v\">",
      "<!DOCTYPE x>",
      "a fairly long stretch of text with no markup in it at all, to be taken in words ",
      "plain_name_or_value_of_some_length"};
  std::string markup;
  for (std::size_t i = 0; i < pieces; ++i) markup += kPieces[random() % std::size(kPieces)];
  return markup;
}

TEST_F(ScannerTest, MatchesCharacterAtATimeReading) {
  for (const char* name : {"scanner_template.html", "scanner_malformed.html"}) {
    const std::string sample = ReadFile(std::string(ZRTMASK_TEST_DATA_DIR) + "/" + name);
    for (int mask : {1, 2, 4, 8, 32, 37, 41, 63}) {
      SCOPED_TRACE(std::string(name) + " with mask " + std::to_string(mask));
      EXPECT_EQ(ScanFull(sample, mask), ReferenceScanner(sample, mask).ScanAll());
    }
  }
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const std::string markup = RandomMarkup(random, 60);
    for (int mask : {4, 41, 63}) {
      SCOPED_TRACE(markup + " with mask " + std::to_string(mask));
      ASSERT_EQ(ScanFull(markup, mask), ReferenceScanner(markup, mask).ScanAll());
    }
  }
  // Larger than several reads of the file, shifted so that other bytes meet the block ends.
  const std::string large = RandomMarkup(random, 12000);
  for (std::size_t shift = 0; shift < 12; ++shift) {
    SCOPED_TRACE(shift);
    const std::string markup = std::string(shift, 'z') + large;
    ASSERT_EQ(ScanFull(markup, 63), ReferenceScanner(markup, 63).ScanAll());
  }
}

TEST_F(ScannerTest, OpenFailures) {
  ZRTDcHtmlHandler missing;
  missing.SetFindTypes(kAllTypes);
  EXPECT_EQ(missing.OpenFile("absent.html"), zrtmask::kTemplateMissing);
  EXPECT_EQ(missing.FindNextItem(), 0);

  ASSERT_EQ(::mkdir("folder.html", 0755), 0);
  ZRTDcHtmlHandler directory;
  directory.SetFindTypes(kAllTypes);
  EXPECT_EQ(directory.OpenFile("folder.html"), zrtmask::kOpenFailed);
  EXPECT_EQ(directory.FindNextItem(), 0);

  // Root reads everything, so the unreadable case runs as an unprivileged user.
  const std::string locked = scratch() + "/locked.html";
  WriteFile(locked, "<p>");
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(::chmod(scratch().c_str(), 0755), 0);
  EXPECT_EQ(RunUnprivileged([&locked] {
              ZRTDcHtmlHandler scanner;
              return scanner.OpenFile(locked.c_str());
            }),
            zrtmask::kTemplateUnreadable);
}

TEST_F(ScannerTest, NewScannerIsEmpty) {
  ZRTDcHtmlHandler scanner;
  EXPECT_EQ(scanner.GetCurrentLineNb(), 1);
  EXPECT_EQ(scanner.GetItemType(), 0);
  EXPECT_STREQ(scanner.GetItemName(), "");
  EXPECT_STREQ(scanner.GetItemValue(), "");
  EXPECT_EQ(scanner.FindNextItem(), 0);  // no file
  // Without SetFindTypes nothing is asked for, so nothing is found.
  WriteFile(kFile, "<p class=x>text<!--c--><i>");
  ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  EXPECT_EQ(scanner.FindNextItem(), 0);
  EXPECT_EQ(scanner.GetItemType(), 0);
}

TEST_F(ScannerTest, MovingHandsTheScanOver) {
  WriteFile(kFile, "<p>\n<b>\n<i>\n<u>");
  ZRTDcHtmlHandler first;
  first.SetFindTypes(ITEM_TAG);
  ASSERT_EQ(first.OpenFile(kFile), zrtmask::kOk);
  ASSERT_EQ(first.FindNextItem(), 1);

  ZRTDcHtmlHandler second(std::move(first));
  EXPECT_EQ(first.FindNextItem(), 0);  // NOLINT(bugprone-use-after-move): left without a file
  EXPECT_EQ(first.OpenFile(kFile), zrtmask::kOpenFailed);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(first.FindNextItem(), 0);                      // NOLINT(bugprone-use-after-move)
  ASSERT_EQ(second.FindNextItem(), 1);
  EXPECT_STREQ(second.GetItemName(), "b");
  EXPECT_EQ(second.GetCurrentLineNb(), 2);

  ZRTDcHtmlHandler third;
  third = std::move(second);
  ASSERT_EQ(third.FindNextItem(), 1);
  EXPECT_STREQ(third.GetItemName(), "i");
  third = ZRTDcHtmlHandler();  // the open file is closed, the scan is over
  EXPECT_EQ(third.FindNextItem(), 0);
}

}  // namespace
