// The item scanner against its rules read one character at a time: one property, checked over
// the samples, the fuzz seeds, inputs at the buffers' and the reader's limits, and random markup.
// Also the fuzz harnesses' checks over every seed, and moving a scanner.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "base/platform.h"
#include "fuzz/fuzz_checks.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::testing::ReadFile;
using zrtmask::testing::WriteFile;

constexpr char kFile[] = "scan.html";
constexpr int kAllTypes = 63;
constexpr int kMaxName = 255;
constexpr int kMaxValue = 524287;

class ScannerTest : public zrtmask::testing::ScratchDirTest {};

// "TYPE name|value@line\n", the form in which Scan and the reference give an item.
std::string FullItem(int type, const std::string& name, const std::string& value, int line) {
  return std::to_string(type) + " " + name + "|" + value + "@" + std::to_string(line) + "\n";
}

std::string Scan(const std::string& html, int mask) {
  WriteFile(kFile, html);
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(mask);
  EXPECT_EQ(scanner.OpenFile(kFile), zrtmask::kOk);
  std::string items;
  while (scanner.FindNextItem() == 1) {
    items += FullItem(scanner.GetItemType(), scanner.GetItemName(), scanner.GetItemValue(),
                      scanner.GetCurrentLineNb());
  }
  // After the end both buffers are empty strings, whatever item the end cut short.
  EXPECT_STREQ(scanner.GetItemName(), "");
  EXPECT_STREQ(scanner.GetItemValue(), "");
  return items;
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

// The inputs of the property besides the random ones: the samples, the fuzz seeds, and inputs
// at the limits of the buffers and of the reader's blocks.
std::vector<std::string> Inputs() {
  std::vector<std::string> inputs;
  for (const char* dir : {ZRTMASK_TEST_DATA_DIR, ZRTMASK_FUZZ_CORPUS_DIR "/scan_fuzzer",
                          ZRTMASK_FUZZ_CORPUS_DIR "/rewrite_fuzzer"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() == ".html") inputs.push_back(ReadFile(entry.path()));
    }
  }
  const std::string name(300, 'n'), value(kMaxValue + 10, 'v');
  std::string lines;
  for (int i = 0; lines.size() < 2 * static_cast<std::size_t>(kMaxValue) + 5; ++i) {
    lines += "line " + std::to_string(i) + "\n";
  }
  inputs.insert(inputs.end(), {"a<", "<ab", "<a b", "<a b=\"x", "<a b='x", "<a b=x", "<!--ab",
                               "<!x", "<" + name + " " + name + "=x>", "<" + name.substr(45) + ">",
                               "<a b=\"" + value + "\" c=" + value + ">", "<!--" + value + "--><p>",
                               "<p>" + lines + "<b>", value.substr(10) + "<p>"});
  // The first read takes 65537 bytes: the block ends at each place within "<!--", "<!x", "< q"
  // and a comment's closing dashes, where the scan must look past it.
  for (std::size_t shift = 0; shift < 7; ++shift) {
    inputs.push_back(std::string(65537 - shift, 'x') + "<!--a--b--><!x>< q><p>");
    inputs.push_back(std::string(65537 - shift, 'x') + "<!x>< q><p>");
    inputs.push_back("<!--" + std::string(65533 - shift, 'y') + "--a--->");
  }
  for (std::size_t length : {65535u, 65536u, 65537u, 131072u}) {
    inputs.push_back(std::string(length, 'x') + "\r\n<p>");
    inputs.push_back(std::string(length, 'x') + "\ry<p>");
  }
  // A CR LF split by the first block's end, then two more blocks.
  inputs.push_back(std::string(65536, 'x') + "\r\n" + std::string(70000, 'y') + "<p>");
  return inputs;
}

TEST_F(ScannerTest, MatchesCharacterAtATimeReading) {
  for (const std::string& input : Inputs()) {
    for (int mask : {1, 2, 4, 8, 32, 37, 41, 63}) {
      SCOPED_TRACE(input.substr(0, 60) + " with mask " + std::to_string(mask));
      ASSERT_EQ(Scan(input, mask), ReferenceScan(input, mask));
    }
  }
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const std::string markup = RandomMarkup(random, 60);
    for (int mask : {4, 41, 63}) {
      SCOPED_TRACE(markup + " with mask " + std::to_string(mask));
      ASSERT_EQ(Scan(markup, mask), ReferenceScan(markup, mask));
    }
  }
  // Larger than several reads of the file, shifted so that other bytes meet the block ends.
  const std::string large = RandomMarkup(random, 12000);
  for (std::size_t shift = 0; shift < 12; ++shift) {
    SCOPED_TRACE(shift);
    const std::string markup = std::string(shift, 'z') + large;
    ASSERT_EQ(Scan(markup, 63), ReferenceScan(markup, 63));
  }
}

// What the fuzz harnesses check holds for every seed.
TEST(FuzzChecksTest, HoldForEverySeed) {
  const std::pair<const char*, void (*)(const std::uint8_t*, std::size_t)> harnesses[] = {
      {"scan_fuzzer", zrtmask::fuzz::CheckScan},
      {"rewrite_fuzzer", zrtmask::fuzz::CheckRewrite},
      {"render_fuzzer", zrtmask::fuzz::CheckRender}};
  for (const auto& [name, check] : harnesses) {
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ZRTMASK_FUZZ_CORPUS_DIR "/") + name)) {
      SCOPED_TRACE(entry.path().string());
      const std::string seed = ReadFile(entry.path());
      check(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    }
  }
}

// A move, by construction or assignment, hands the file, the buffers and the line over.
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
  EXPECT_EQ(std::string(second.GetItemName()) + "@" + std::to_string(second.GetCurrentLineNb()), "b@2");
  ZRTDcHtmlHandler third;
  ASSERT_EQ(third.OpenFile(kFile), zrtmask::kOk);
  third = std::move(second);
  ASSERT_EQ(third.FindNextItem(), 1);
  EXPECT_EQ(std::string(third.GetItemName()) + "@" + std::to_string(third.GetCurrentLineNb()), "i@3");
  // A second open that fails leaves the scanner without a file, not with the first one; a
  // directory, whose first read fails, is closed once.
  EXPECT_EQ(third.OpenFile("none.html"), zrtmask::kTemplateMissing);
  EXPECT_EQ(third.FindNextItem(), 0);
  zrtmask::WatchDescriptors();
  EXPECT_EQ(third.OpenFile("."), zrtmask::kOpenFailed);
  EXPECT_EQ(zrtmask::UnknownDescriptorsClosed(), 0);
  zrtmask::DisarmFaults();
}

}  // namespace
