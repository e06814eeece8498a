// Tests of the HTML item scanner: item sequences, buffers, limits, line numbers, line ends,
// the end of input, masks, opening and moving.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
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

std::string Sample(const std::string& name) {
  return ReadFile(std::string(ZRTMASK_TEST_DATA_DIR) + "/" + name);
}

std::string TypeName(int type) {
  return type == ITEM_TAG         ? "TAG"
         : type == ITEM_ATTRIBUTE ? "ATTR"
         : type == ITEM_TEXT      ? "TEXT"
         : type == ITEM_COMMENT   ? "COMMENT"
         : type == ITEM_VALUE     ? "VALUE"
                                  : "TYPE?";
}

// "TYPE name|value@line\n", the form in which ScanFull and the reference model give an item.
std::string FullItem(int type, const std::string& name, const std::string& value, int line) {
  return TypeName(type) + " " + name + "|" + value + "@" + std::to_string(line) + "\n";
}

enum class Shape { kItems, kLines, kFull };

// Scans html with mask and joins the items with "|": "TAG p|ATTR class" shows the buffer that
// each type names; kLines adds "@line" to each; kFull gives each item as FullItem does.
std::string Scan(const std::string& html, int mask, Shape shape) {
  WriteFile(kFile, html);
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(mask);
  EXPECT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  std::string items;
  while (scanner.FindNextItem() == 1) {
    const int type = scanner.GetItemType(), line = scanner.GetCurrentLineNb();
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    if (shape == Shape::kFull) {
      items += FullItem(type, scanner.GetItemName(), scanner.GetItemValue(), line);
      continue;
    }
    items += (items.empty() ? "" : "|") + TypeName(type) + " " +
             (named ? scanner.GetItemName() : scanner.GetItemValue()) +
             (shape == Shape::kLines ? "@" + std::to_string(line) : "");
  }
  return items;
}

std::string ScanAll(const std::string& html, int mask = kAllTypes) {
  return Scan(html, mask, Shape::kItems);
}
std::string ScanLines(const std::string& html, int mask = kAllTypes) {
  return Scan(html, mask, Shape::kLines);
}

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

// The item rules written out plainly, one character at a time, for comparison with the scanner,
// which takes runs of characters from its read buffer.
struct Reference {
  std::string in, name, value, name_run, value_run;
  std::size_t at = 0;
  int mask = 0, line = 1, state = ITEM_TEXT, type = 0;
  bool skip_blanks = false;

  static bool Blank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  int Peek() const { return at < in.size() ? static_cast<unsigned char>(in[at]) : -1; }
  int Get() {
    const int c = Peek();
    if (c != -1) ++at;
    return c;
  }
  void Unget(int c) {
    if (c != -1) --at;
  }
  void ClearValue() { value.clear(), value_run.clear(); }
  void Keep(std::string& run, int c, std::size_t limit) {
    if (run.size() < limit) run += static_cast<char>(c);
  }
  // Moves the run into the item buffer; true when the mask asks for items of type t.
  bool Take(std::string& item, std::string& run, int t) {
    item = std::move(run), run.clear(), type = t;
    return (mask & t) != 0;
  }

  bool Next() {
    name.clear(), value.clear(), name_run.clear(), value_run.clear();
    bool waiting = true, skipping = false, found = false;
    int quote = 0, c = 0;
    while (!found && c != -1) {
      c = Get();
      if (c == '\n') ++line;
      if (skipping) {
        skipping = c != '>';
      } else if (state == ITEM_TEXT) {
        if (c == '<' && !Blank(Peek())) {
          bool comment = false;
          if (Peek() == '!') {
            Get();
            const int second = Get();
            comment = second == '-' && Peek() == '-';
            if (!comment) {
              Unget(second), skipping = true;
              continue;
            }
          }
          found = Take(value, value_run, ITEM_TEXT) && !value.empty();
          skip_blanks = false, state = comment ? ITEM_COMMENT : ITEM_TAG;
        } else if (Blank(c) || c >= 32) {
          value_run += static_cast<char>(c);
          if (value_run.size() == kMaxValue) found = Take(value, value_run, ITEM_TEXT);
        }
      } else if (state == ITEM_TAG || state == ITEM_ATTRIBUTE) {
        const bool element = state == ITEM_TAG;
        if (Blank(c) && !skip_blanks) {
          found = Take(name, name_run, state);
          state = element ? ITEM_ATTRIBUTE : ITEM_VALUE, waiting = true, quote = 0;
          ClearValue();
        } else if (c == '=') {
          found = Take(name, name_run, state) && !element;
          if (!element) state = ITEM_VALUE, waiting = true, Unget(c), ClearValue();
        } else if (c == '>') {
          found = Take(name, name_run, state);
          ClearValue(), state = ITEM_TEXT;
        } else if (!Blank(c)) {
          Keep(name_run, c, kMaxName);
        }
        skip_blanks = skip_blanks && Blank(c);
      } else if (state == ITEM_VALUE && waiting) {
        if (c == '>' || (!Blank(c) && c != '=')) {
          ClearValue(), found = Take(value, value_run, ITEM_VALUE);
          state = c == '>' ? ITEM_TEXT : ITEM_ATTRIBUTE, skip_blanks = c != '>';
          if (c != '>') Unget(c);
        } else if (c == '=') {
          waiting = false, quote = 0;
        }
      } else if (state == ITEM_VALUE) {
        const bool mark = c == '"' || c == '\'';
        if (mark && quote == 0) {
          quote = c;
        } else if (mark ? c == quote
                        : quote == 0 && (c == '>' || (Blank(c) && !value_run.empty()))) {
          found = Take(value, value_run, ITEM_VALUE);
          skip_blanks = quote != 0, state = c == '>' ? ITEM_TEXT : ITEM_ATTRIBUTE;
        } else {
          Keep(value_run, c, kMaxValue);
        }
      } else {  // comment
        Keep(value_run, c, kMaxValue);
        const int third = c == '-' ? Get() : -1;
        if (third == '-' && Peek() == '>') {
          Get(), found = Take(value, value_run, ITEM_COMMENT);
          state = ITEM_TEXT, skip_blanks = false;
        } else {
          Unget(third);
        }
      }
    }
    return c != -1;
  }
};

// Gives the items in the form of Scan with Shape::kFull.
std::string ReferenceScan(const std::string& html, int mask) {
  Reference ref;
  ref.mask = mask;
  for (std::size_t i = 0; i < html.size(); ++i) {
    if (html.compare(i, 2, "\r\n") != 0) ref.in += html[i];
  }
  std::string items;
  // Through c_str: the scanner hands its items out as zero-terminated strings.
  while (ref.Next()) items += FullItem(ref.type, ref.name.c_str(), ref.value.c_str(), ref.line);
  return items;
}

TEST_F(ScannerTest, ItemSequencesOfCommonMarkup) {
  ExpectItems({
      {"<p class=\"x\">", "TAG p|ATTR class|VALUE x|ATTR "},
      {"<br >", "TAG br|ATTR "},
      {"<td nowrap>", "TAG td|ATTR nowrap"},
      {"<td nowrap >", "TAG td|ATTR nowrap|VALUE "},
      {"<a  href=\"u\">", "TAG a|ATTR |VALUE |ATTR href|VALUE u|ATTR "},
      {"<img width=100 height='5'>", "TAG img|ATTR width|VALUE 100|ATTR height|VALUE 5|ATTR "},
      {"<p=x>", "TAG x"},  // "=" in an element name drops what came before it
  });
}

TEST_F(ScannerTest, TextRules) {
  ExpectItems({
      {"only text, no tag", ""},
      {"<p>text after the last tag", "TAG p"},
      {"a < b<p>", "TEXT a < b|TAG p"},
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
      {"<!-- <p a=\"x\"> -->", "COMMENT - <p a=\"x\"> -"},
      {"<!--a--b-->", "COMMENT -a--b-"},
      {"<!--a--->", "COMMENT -a--"},
  });
}

TEST_F(ScannerTest, DeclarationsAreSkipped) {
  ExpectItems({
      {"<p>a<!DOCTYPE x>b<i>", "TAG p|TEXT ab|TAG i"},
      {"<p>a<!-x>b<i>", "TAG p|TEXT ab|TAG i"},
      {"<p>a<!>b<i>", "TAG p|TEXT ab|TAG i"},
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
  EXPECT_EQ(Scan(html, 41, Shape::kFull), "TAG SYS|@1\nVALUE path|c:/x@1\nVALUE mode|ro@1\n");
  EXPECT_EQ(Scan(html, kAllTypes, Shape::kFull),
            "TAG SYS|@1\nATTR path|@1\nVALUE |c:/x@1\nATTR mode|@1\nVALUE |ro@1\n");
}

TEST_F(ScannerTest, MasksChooseItems) {
  const std::string html = "<p class=\"x\" nowrap >a<!--c--><SYS path=y>b</p>";
  EXPECT_EQ(ScanAll(html, 1), "TAG p|TAG SYS|TAG /p");
  EXPECT_EQ(ScanAll(html, 37), "TAG p|VALUE x|VALUE |TEXT a|TAG SYS|VALUE y|TEXT b|TAG /p");
  EXPECT_EQ(ScanAll(html, 41), "TAG p|VALUE x|VALUE |COMMENT -c-|TAG SYS|VALUE y|TAG /p");
  EXPECT_EQ(ScanAll(html, 0), "");
  // Without SetFindTypes nothing is asked for, so nothing is found.
  ZRTDcHtmlHandler scanner;
  ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  EXPECT_EQ(scanner.FindNextItem(), 0);
}

TEST_F(ScannerTest, TextBeforeCommentIsReported) {
  EXPECT_EQ(ScanLines("<p>word\n<!--c\n-->more<b>"),
            "TAG p@1|TEXT word\n@2|COMMENT -c\n-@3|TEXT more@3|TAG b@3");
  EXPECT_EQ(ScanAll("word<!---->x<p>", ITEM_TEXT | ITEM_COMMENT), "TEXT word|COMMENT --|TEXT x");
  // With text only, no part of a comment shows, and the text around it is kept whole.
  EXPECT_EQ(ScanAll("<p>a<!-- c -->b<i>", ITEM_TEXT), "TEXT a|TEXT b");
}

TEST_F(ScannerTest, LimitsCutNamesValuesAndComments) {
  const std::string long_name(300, 'n'), long_value(kMaxValue + 10, 'v');
  const std::string cut_name = long_name.substr(0, kMaxName);
  const std::string cut_value = long_value.substr(0, kMaxValue);
  EXPECT_EQ(ScanAll("<" + long_name + " " + long_name + "=x>", 3),
            "TAG " + cut_name + "|ATTR " + cut_name);
  EXPECT_EQ(ScanAll("<a b=\"" + long_value + "\" c=" + long_value + ">", 32),
            "VALUE " + cut_value + "|VALUE " + cut_value);
  EXPECT_EQ(ScanAll("<!--" + long_value + "--><p>"), "COMMENT -" + cut_value.substr(1) + "|TAG p");
  EXPECT_EQ(ScanAll("<" + cut_name + ">"), "TAG " + cut_name);
}

TEST_F(ScannerTest, LongTextIsReportedInPieces) {
  std::string text, expected;
  for (int i = 0; text.size() < 2 * static_cast<std::size_t>(kMaxValue) + 5; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  int line = 1;
  for (std::size_t at = 0; at < text.size(); at += kMaxValue) {  // three pieces
    const std::string piece = text.substr(at, kMaxValue);
    line += static_cast<int>(std::count(piece.begin(), piece.end(), '\n'));
    expected += (at == 0 ? "TEXT " : "|TEXT ") + piece + "@" + std::to_string(line);
  }
  EXPECT_EQ(ScanLines("<p>" + text + "<b>", ITEM_TEXT), expected);
  // A text of exactly the limit is one item, with no empty one after it.
  const std::string full(kMaxValue, 't');
  EXPECT_EQ(ScanAll(full + "<p>"), "TEXT " + full + "|TAG p");
}

TEST_F(ScannerTest, LineNumbers) {
  EXPECT_EQ(ScanLines("\n\n<p>"), "TEXT \n\n@3|TAG p@3");
  EXPECT_EQ(ScanLines("\n\n<p\n>", ITEM_TAG | ITEM_ATTRIBUTE), "TAG p@4|ATTR @4");
  EXPECT_EQ(ScanLines("<a\nb\n=\n'x\ny'\n>"), "TAG a@2|ATTR b@3|VALUE \nx\ny@5|ATTR @6");
  EXPECT_EQ(ScanLines("<!--\n-\n-\n--><p>"), "COMMENT -\n-\n-\n-@4|TAG p@4");
  EXPECT_EQ(ScanLines("<a\n\nb=1\n>"), "TAG a@2|ATTR @3|VALUE @3|ATTR b@3|VALUE 1@4|ATTR @4");
}

TEST_F(ScannerTest, CrLfScansLikeLf) {
  const std::string sample = Sample("scanner_template.html");
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
      {"<!-- open --", ""},
      {"<!DOCTYPE", ""},
      {"", ""},
  });
  WriteFile(kFile, "<p>");  // and the end, once reached, stays
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(kAllTypes);
  ASSERT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  EXPECT_EQ(scanner.FindNextItem(), 1);
  EXPECT_EQ(scanner.FindNextItem(), 0);
  EXPECT_EQ(scanner.FindNextItem(), 0);
}

TEST_F(ScannerTest, EveryPrefixOfTheSamplesScans) {
  for (const char* name : {"scanner_template.html", "scanner_malformed.html"}) {
    const std::string sample = Sample(name);
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
        for (std::size_t items = 1; scanner.FindNextItem() == 1; ++items) {
          ASSERT_LE(items, length) << "no end in sight";
          ASSERT_LE(scanner.GetCurrentLineNb(), last_line);
        }
      }
    }
  }
}

// Markup made of pieces that hit every row of the state table, with long runs among them.
std::string RandomMarkup(std::mt19937& random, std::size_t pieces) {
  std::istringstream all(
      "<~>~=~\"~'~-~!~ ~\n~\r\n~\r~\t~<!~<!--~-->~<p ~x=1 ~\x01~\xe9\x80~--~a~bcd~"
      "<b>~</b>~<a href=\"u v\">~<!DOCTYPE x>~a long stretch of plain text, to "
      "be taken in words ~a_plain_name_or_value_of_some_length");
  std::vector<std::string> kinds;
  for (std::string kind; std::getline(all, kind, '~');) kinds.push_back(kind);
  std::string markup;
  for (std::size_t i = 0; i < pieces; ++i) markup += kinds[random() % kinds.size()];
  return markup;
}

TEST_F(ScannerTest, MatchesCharacterAtATimeReading) {
  std::vector<std::string> samples = {ZRTMASK_TEST_DATA_DIR "/scanner_template.html",
                                      ZRTMASK_TEST_DATA_DIR "/scanner_malformed.html"};
  for (const auto& seed : std::filesystem::directory_iterator(ZRTMASK_SCAN_SEEDS_DIR)) {
    samples.push_back(seed.path().string());  // the scan fuzzer's seeds
  }
  for (const std::string& path : samples) {
    for (int mask : {1, 2, 4, 8, 32, 37, 41, 63}) {
      SCOPED_TRACE(path + " with mask " + std::to_string(mask));
      EXPECT_EQ(Scan(ReadFile(path), mask, Shape::kFull), ReferenceScan(ReadFile(path), mask));
    }
  }
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const std::string markup = RandomMarkup(random, 60);
    for (int mask : {4, 41, 63}) {
      SCOPED_TRACE(markup + " with mask " + std::to_string(mask));
      ASSERT_EQ(Scan(markup, mask, Shape::kFull), ReferenceScan(markup, mask));
    }
  }
  // Larger than several reads of the file, shifted so that other bytes meet the block ends.
  const std::string large = RandomMarkup(random, 12000);
  for (std::size_t shift = 0; shift < 12; ++shift) {
    SCOPED_TRACE(shift);
    const std::string markup = std::string(shift, 'z') + large;
    ASSERT_EQ(Scan(markup, 63, Shape::kFull), ReferenceScan(markup, 63));
  }
}

TEST_F(ScannerTest, OpenFailures) {
  ASSERT_EQ(::mkdir("folder.html", 0755), 0);
  for (auto [path, code] : {std::pair{"absent.html", zrtmask::kTemplateMissing},
                            std::pair{"folder.html", zrtmask::kOpenFailed}}) {
    SCOPED_TRACE(path);
    ZRTDcHtmlHandler scanner;
    scanner.SetFindTypes(kAllTypes);
    EXPECT_EQ(scanner.OpenFile(path), code);
    EXPECT_EQ(scanner.FindNextItem(), 0);
  }
  // Root reads everything, so the unreadable case runs as an unprivileged user.
  const std::string locked = scratch() + "/locked.html";
  WriteFile(locked, "<p>");
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(::chmod(scratch().c_str(), 0755), 0);
  EXPECT_EQ(RunUnprivileged([&locked] { return ZRTDcHtmlHandler().OpenFile(locked.c_str()); }),
            zrtmask::kTemplateUnreadable);
}

TEST_F(ScannerTest, MovingHandsTheScanOver) {
  WriteFile(kFile, "<p>\n<b>\n<i>\n<u>");
  ZRTDcHtmlHandler first;
  first.SetFindTypes(ITEM_TAG);
  ASSERT_EQ(first.OpenFile(kFile), zrtmask::kOk);
  ASSERT_EQ(first.FindNextItem(), 1);
  ZRTDcHtmlHandler second(std::move(first));
  // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from scanner is left without a file
  EXPECT_EQ(first.OpenFile(kFile), zrtmask::kOpenFailed);
  EXPECT_EQ(first.FindNextItem(), 0);  // NOLINT(bugprone-use-after-move)
  ASSERT_EQ(second.FindNextItem(), 1);
  EXPECT_EQ(std::string(second.GetItemName()) + "@" + std::to_string(second.GetCurrentLineNb()),
            "b@2");
  ZRTDcHtmlHandler third;
  third = std::move(second);
  ASSERT_EQ(third.FindNextItem(), 1);
  EXPECT_STREQ(third.GetItemName(), "i");
  third = ZRTDcHtmlHandler();  // the open file is closed, the scan is over
  EXPECT_EQ(third.FindNextItem(), 0);
}

}  // namespace
