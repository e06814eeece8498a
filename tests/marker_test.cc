// Tests of the processing-marker tokenizer and of the marker rewrites built on it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

// Reaches the private tokenizer: points it at string streams and sets the marker kind.
class ZRTHtmlFileTestPeer {
 public:
  ZRTHtmlFileTestPeer(const std::string& input, ZRTHtmlFile::Tokens kind) : input_(input) {
    file_._inStream = &input_;
    file_._outStream = &output_;
    file_._tokenKind = kind;
  }
  // Runs the marker rewrite for kind, which no public operation passes for TOKEN_INDEX.
  static int SetToken(ZRTHtmlFile& file, const ZRTUnicodeString& value, ZRTHtmlFile::Tokens kind) {
    return file.setZRTToken(value, kind);
  }
  ZRTHtmlFile::Tokens Next() { return file_.getNextToken(); }
  std::string Output() const { return output_.str(); }
  bool InputLeft() { return input_.peek() != std::char_traits<char>::eof(); }

 private:
  ZRTHtmlFile file_;
  std::istringstream input_;
  std::ostringstream output_;
};

namespace {

using Tokens = ZRTHtmlFile::Tokens;
using zrtmask::testing::ReadFile;
using zrtmask::testing::RunUnprivileged;
using zrtmask::testing::TakeTempTexts;
using zrtmask::testing::WriteFile;

constexpr Tokens kStart = ZRTHtmlFile::TOKEN_START;
constexpr Tokens kAnnot = ZRTHtmlFile::TOKEN_ANNOT;
constexpr Tokens kUrl = ZRTHtmlFile::TOKEN_URL;
constexpr Tokens kDb = ZRTHtmlFile::TOKEN_DBACCESS;
constexpr Tokens kIndex = ZRTHtmlFile::TOKEN_INDEX;

std::string TokenName(Tokens token) {
  static const char* const kNames[] = {"LT",    "BLANK", "GT",  "NEWLINE",  "START",
                                       "OTHER", "ANNOT", "URL", "DBACCESS", "INDEX"};
  return kNames[token];
}

std::string Visible(const std::string& bytes) {
  std::string shown;
  for (char c : bytes)
    shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : std::string(1, c);
  return shown;
}

// Tokenizes input to its end. Each token is shown with the bytes it consumed (the bytes echoed
// during the call): "LT(<) START(QLXSTART) GT(>)".
std::string Tokenize(const std::string& input, Tokens kind) {
  ZRTHtmlFileTestPeer peer(input, kind);
  std::string result;
  std::size_t echoed = 0;
  while (peer.InputLeft()) {
    const Tokens token = peer.Next();
    const std::string output = peer.Output();
    result +=
        (result.empty() ? "" : " ") + TokenName(token) + "(" + Visible(output.substr(echoed)) + ")";
    echoed = output.size();
  }
  return result;
}

struct TokenCase {
  Tokens kind;
  std::string input;
  std::string tokens;
};

void ExpectTokens(const std::vector<TokenCase>& cases) {
  for (const TokenCase& test : cases) {
    SCOPED_TRACE(Visible(test.input) + " kind " + TokenName(test.kind));
    EXPECT_EQ(Tokenize(test.input, test.kind), test.tokens);
  }
}

TEST(MarkerTokenizerTest, MarkerCharactersAreTheirOwnTokens) {
  ExpectTokens({
      {kStart, "<", "LT(<)"},
      {kStart, " ", "BLANK( )"},
      {kStart, ">", "GT(>)"},
      {kStart, "\n", "NEWLINE(\\n)"},
      {kStart, "\t", "OTHER(\\t)"},
      {kStart, "\x80", "OTHER(\x80)"},
      {kStart, std::string(1, '\0'), std::string("OTHER(") + '\0' + ")"},
  });
}

TEST(MarkerTokenizerTest, OnlyTheKeywordOfTheKindIsRecognisedInAnyCase) {
  ExpectTokens({
      {kStart, "qLxStArT", "START(qLxStArT)"},
      {kAnnot, "QLXANNOT", "ANNOT(QLXANNOT)"},
      {kUrl, "qlxurl ", "URL(qlxurl) BLANK( )"},
      {kDb, "QLXDBACCESS", "DBACCESS(QLXDBACCESS)"},
      {kIndex, "QlxIndex", "INDEX(QlxIndex)"},
      // Whatever follows a keyword is left for the next call.
      {kStart, "QLXSTARTED", "START(QLXSTART) OTHER(E) OTHER(D)"},
      {kStart, "X<QLXSTART>", "OTHER(X) LT(<) START(QLXSTART) GT(>)"},
      {kUrl, "QL QLXURL", "BLANK(QL ) URL(QLXURL)"},
  });
}

TEST(MarkerTokenizerTest, FailedAttemptConsumesUpToTheCharacterThatDidNotFit) {
  ExpectTokens({
      // A marker character met while the prefix is incomplete is reported on its own.
      {kStart, "QL<", "LT(QL<)"},
      {kStart, "QL\n", "NEWLINE(QL\\n)"},
      // A prefix letter out of turn rejects, without falling back to an earlier state.
      {kStart, "QQLXS", "OTHER(QQ) OTHER(L) OTHER(X) OTHER(S)"},
      {kStart, "QLQLX", "OTHER(QLQ) OTHER(L) OTHER(X)"},
      {kStart, "Q\tLX", "OTHER(Q\\t) OTHER(L) OTHER(X)"},
      // In a suffix, every character that does not fit is consumed, "<" included.
      {kStart, "QLXSTA<", "OTHER(QLXSTA<)"},
      {kStart, "QLXST ART", "OTHER(QLXST ) OTHER(A) OTHER(R) OTHER(T)"},
      {kStart, "QLX>", "OTHER(QLX>)"},
      {kAnnot, "QLXANNNOT", "OTHER(QLXANNN) OTHER(O) OTHER(T)"},
      {kDb, "QLXDBACESS", "OTHER(QLXDBACE) OTHER(S) OTHER(S)"},
  });
}

TEST(MarkerTokenizerTest, CrLfReadsAsOneLineFeed) {
  ExpectTokens({
      {kStart, "\r\n", "NEWLINE(\\n)"},
      {kStart, "\r", "OTHER(\\r)"},
      {kStart, "\r\r\n", "OTHER(\\r) NEWLINE(\\n)"},
      {kStart, "<\r\nQLXSTART\r\n>", "LT(<) NEWLINE(\\n) START(QLXSTART) NEWLINE(\\n) GT(>)"},
      {kStart, "QL\r\n", "NEWLINE(QL\\n)"},
      {kStart, "QLXST\r\n", "OTHER(QLXST\\n)"},
  });
}

TEST(MarkerTokenizerTest, EndOfInputReturnsOtherAndWritesNothing) {
  for (const char* input : {"", "Q", "QLX", "QLXSTA", "qlxstar"}) {
    SCOPED_TRACE(input);
    ZRTHtmlFileTestPeer peer(input, kStart);
    EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
    EXPECT_EQ(peer.Output(), input);
    EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
    EXPECT_EQ(peer.Output(), input);
  }
}

// Whatever the tokens, the output is the input, with CR LF pairs as single line feeds.
TEST(MarkerTokenizerTest, OutputIsACopyOfTheInput) {
  const std::string alphabet = "QLXqlxSTARTannotURLdbaccessINDEX<> \n\r\t\x80\xff";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int round = 0; round < 200; ++round) {
    std::string input;
    for (int length = 0; length < 64; ++length) input += alphabet[pick(random)];
    std::string expected;
    for (std::size_t at = 0; at < input.size(); ++at) {
      if (input[at] != '\r' || at + 1 == input.size() || input[at + 1] != '\n')
        expected += input[at];
    }
    for (Tokens kind : {kStart, kAnnot, kUrl, kDb, kIndex, ZRTHtmlFile::TOKEN_OTHER}) {
      SCOPED_TRACE(Visible(input) + " kind " + TokenName(kind));
      ZRTHtmlFileTestPeer peer(input, kind);
      while (peer.InputLeft()) peer.Next();
      EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
      EXPECT_EQ(peer.Output(), expected);
    }
  }
}

constexpr char kTemplate[] = "mask.html";
constexpr char kMask[] = "new.html";

class MarkerTest : public zrtmask::testing::ScratchDirTest {};

using Setter = int (ZRTHtmlFile::*)(ZRTUnicodeString);
constexpr Setter kSetStart = &ZRTHtmlFile::SetZRTStart;
constexpr Setter kSetAnnot = &ZRTHtmlFile::SetZRTAnnotations;
constexpr Setter kSetUrl = &ZRTHtmlFile::SetZRTURL;
constexpr Setter kSetDb = &ZRTHtmlFile::SetZRTDBAccess;

// Shows "code:template bytes" and, after " left:", the text of each file left in c:/temp/
// (which is then emptied) in brackets. An empty path reads no template.
std::string Outcome(int code, const std::string& path = kTemplate) {
  std::string shown = std::to_string(code) + ":" + (path.empty() ? "" : ReadFile(path)) + " left:";
  for (const std::string& text : TakeTempTexts()) shown += "[" + text + "]";
  return shown;
}

struct SetCase {
  Setter setter;
  std::string html;
  std::string value;
  std::string result;  // Outcome() of the rewrite, which leaves no temporary file
};

// Writes each html as the template and runs the setter with the value on it.
void ExpectSets(const std::vector<SetCase>& cases) {
  for (const SetCase& test : cases) {
    SCOPED_TRACE(Visible(test.html));
    WriteFile(kTemplate, test.html);
    EXPECT_EQ(Outcome((ZRTHtmlFile(kTemplate).*test.setter)(test.value.c_str())),
              test.result + " left:");
  }
}

TEST_F(MarkerTest, ValueGoesOnALineOfItsOwnAfterTheFirstMarkerOfTheKind) {
  ExpectSets({
      {kSetStart, "A<QLXSTART>B", "x", "0:A<QLXSTART>\nx\nB"},
      {kSetStart, "A<QLXSTART>B", "", "0:A<QLXSTART>\n\nB"},
      {kSetStart, "<QLXSTART>a<QLXSTART>b", "x", "0:<QLXSTART>\nx\na<QLXSTART>b"},
      {kSetAnnot, "<QLXSTART>a<QLXANNOT>b", "x", "0:<QLXSTART>a<QLXANNOT>\nx\nb"},
      {kSetUrl, "<  \n qlxurl\n >", "x", "0:<  \n qlxurl\n >\nx\n"},
      {kSetDb, "<QlxDbAccess>", "x", "0:<QlxDbAccess>\nx\n"},
      // The value is written as UTF-8.
      {kSetStart, "<QLXSTART>", "caf\xc3\xa9", "0:<QLXSTART>\ncaf\xc3\xa9\n"},
      // A "<" that starts the marker afresh, and a failed suffix before the marker.
      {kSetStart, "<<QLXSTART>", "x", "0:<<QLXSTART>\nx\n"},
      {kSetStart, "<QLXSTA <QLXSTART>", "x", "0:<QLXSTA <QLXSTART>\nx\n"},
  });
}

TEST_F(MarkerTest, NearMissesAreNotMarkers) {
  ExpectSets({
      {kSetUrl, "<\tQLXURL>", "x", "0:<\tQLXURL>"},
      {kSetUrl, "<QLXURL\t>", "x", "0:<QLXURL\t>"},
      {kSetAnnot, "<QLXSTART>", "x", "0:<QLXSTART>"},
      {kSetStart, "<QLXSTART x>", "x", "0:<QLXSTART x>"},
      {kSetStart, "<x QLXSTART>", "x", "0:<x QLXSTART>"},
      {kSetStart, "<QLXSTART", "x", "0:<QLXSTART"},
      // The failed suffix consumes the "<" that would have started the real marker.
      {kSetStart, "<QLXSTA<QLXSTART>", "x", "0:<QLXSTA<QLXSTART>"},
      {kSetStart, "", "x", "0:"},
  });
}

TEST_F(MarkerTest, TemplateBytesAreCopiedThroughUnchanged) {
  ExpectSets({
      {kSetStart, std::string("a\0b", 3) + "\xff\x80<QLXSTART>\n\n\nc\t", "v",
       std::string("0:a\0b", 5) + "\xff\x80<QLXSTART>\nv\n\n\n\nc\t"},
      {kSetStart, "lone\rcarriage\rreturns\n<QLXSTART>", "v",
       "0:lone\rcarriage\rreturns\n<QLXSTART>\nv\n"},
  });
}

// The template keeps the convention of its first line end, which the inserted lines follow
// too; a marker spread over CR LF lines is found.
TEST_F(MarkerTest, LineEndsFollowTheTemplatesFirstLineEnd) {
  ExpectSets({
      {kSetStart, "a\r\n<\r\nQLXSTART\r\n>b\r\n", "x", "0:a\r\n<\r\nQLXSTART\r\n>\r\nx\r\nb\r\n"},
      {kSetStart, "a\r\nb\r\n\r\n<QLXSTART>", "x", "0:a\r\nb\r\n\r\n<QLXSTART>\r\nx\r\n"},
      {kSetStart, "a\r\nb\n<QLXSTART>", "x", "0:a\r\nb\r\n<QLXSTART>\r\nx\r\n"},
      {kSetStart, "a\nb\r\n<QLXSTART>", "x", "0:a\nb\n<QLXSTART>\nx\n"},
      // A CR before a CR LF is a byte of the text: it stays.
      {kSetStart, "a\r\nb\r\r\n<QLXSTART>", "x", "0:a\r\nb\r\r\n<QLXSTART>\r\nx\r\n"},
  });
}

TEST_F(MarkerTest, EachValueIsInsertedAboveTheEarlierOnes) {
  WriteFile(kTemplate, "A<QLXSTART>B");
  ZRTHtmlFile file(kTemplate);
  EXPECT_EQ(file.SetZRTStart("x"), zrtmask::kOk);
  EXPECT_EQ(Outcome(file.SetZRTStart("y")), "0:A<QLXSTART>\ny\n\nx\nB left:");
}

TEST_F(MarkerTest, IndexMarkerIsRecognisedWhenAskedFor) {
  WriteFile(kTemplate, "<QLXSTART><QLXINDEX>");
  ZRTHtmlFile file(kTemplate);
  EXPECT_EQ(Outcome(ZRTHtmlFileTestPeer::SetToken(file, "i", kIndex)),
            "0:<QLXSTART><QLXINDEX>\ni\n left:");
}

// Runs body in a child process whose files may not grow beyond limit bytes; a write past it
// fails with EFBIG instead of raising a signal.
int RunWithFileSizeLimit(rlim_t limit, const std::function<int()>& body) {
  return RunUnprivileged([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit size_limit = {limit, limit};
    return ::setrlimit(RLIMIT_FSIZE, &size_limit) == 0 ? body() : 255;
  });
}

int SetStartX() { return ZRTHtmlFile(kTemplate).SetZRTStart("x"); }

TEST_F(MarkerTest, FailedMarkerRewriteLeavesTheTemplateUnchanged) {
  // No path.
  EXPECT_EQ(Outcome(ZRTHtmlFile().SetZRTStart("x"), ""), "2: left:");
  // Temporary directory missing.
  WriteFile(kTemplate, "A<QLXSTART>B");
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  const int code = SetStartX();
  ASSERT_EQ(::mkdir("c:/temp", 0777), 0);
  ASSERT_EQ(::chmod("c:/temp", 0777), 0);
  EXPECT_EQ(Outcome(code), "8:A<QLXSTART>B left:");
  // From here on the temporary file exists when the rewrite fails, and is left behind with
  // what had been written to it. Template is a directory:
  ASSERT_EQ(::mkdir("folder.html", 0777), 0);
  EXPECT_EQ(Outcome(ZRTHtmlFile("folder.html").SetZRTStart("x"), ""), "8: left:[]");
  // Template not writable.
  ASSERT_EQ(::chmod(kTemplate, 0444), 0);
  EXPECT_EQ(Outcome(RunUnprivileged(SetStartX)), "8:A<QLXSTART>B left:[A<QLXSTART>\nx\nB]");
  ASSERT_EQ(::chmod(kTemplate, 0666), 0);
  // Write error in the temporary file: the part written before the limit stopped it is left.
  const std::string large = "<QLXSTART>" + std::string(8192, 'a');
  WriteFile(kTemplate, large);
  const std::string new_text = "<QLXSTART>\nx\n" + large.substr(10);
  EXPECT_EQ(Outcome(RunWithFileSizeLimit(4096, SetStartX)),
            "15:" + large + " left:[" + new_text.substr(0, 4096) + "]");
}

// Without the template there is nothing to copy: 8, and, as before, the empty temporary file
// created first stays behind.
TEST_F(MarkerTest, UnreadableTemplateGivesEightAndLeavesAnEmptyTemporaryFile) {
  EXPECT_EQ(Outcome(ZRTHtmlFile("absent.html").SetZRTURL("x"), ""), "8: left:[]");
  WriteFile(kTemplate, "<QLXURL>");
  ASSERT_EQ(::chmod(kTemplate, 0222), 0);
  EXPECT_EQ(Outcome(RunUnprivileged([] { return ZRTHtmlFile(kTemplate).SetZRTURL("x"); })),
            "8:<QLXURL> left:[]");
}

// A failed copy back keeps the complete new text, CR LF line ends and all, in the temporary file.
TEST_F(MarkerTest, FailedCopyBackKeepsTheNewTextInTheTemporaryFile) {
  std::string html = "<QLXSTART>";
  std::string expected = "<QLXSTART>\r\nx\r\n";
  for (int line = 0; line < 1000; ++line) html += "line\r\n", expected += "line\r\n";
  WriteFile(kTemplate, html);
  zrtmask::ArmFault(zrtmask::Call::kWrite, 1, EIO, kTemplate);
  EXPECT_EQ(SetStartX(), zrtmask::kOpenFailed);
  zrtmask::DisarmFaults();
  EXPECT_EQ(TakeTempTexts(), std::vector<std::string>{expected});
}

TEST_F(MarkerTest, MaskBytesReplaceTheTemplate) {
  for (const std::string& mask : {std::string("<html>\r\n<QLXSTART>\n\n\n</html>"),
                                  std::string("a\0\xff\r\r\n", 6), std::string()}) {
    SCOPED_TRACE(Visible(mask));
    WriteFile(kTemplate, "old\r\ntemplate\r\n");
    WriteFile(kMask, mask);
    EXPECT_EQ(Outcome(ZRTHtmlFile(kTemplate).CopyMaskFile(kMask)), "0:" + mask + " left:");
  }
  // The template is created; a mask that is the template leaves it as it is.
  EXPECT_EQ(Outcome(ZRTHtmlFile("fresh.html").CopyMaskFile(kMask), "fresh.html"), "0: left:");
  WriteFile(kTemplate, "same");
  ASSERT_EQ(::symlink(kTemplate, "link.html"), 0);
  for (const char* mask : {kTemplate, "./mask.html", "link.html"}) {
    SCOPED_TRACE(mask);
    EXPECT_EQ(Outcome(ZRTHtmlFile(kTemplate).CopyMaskFile(mask)), "0:same left:");
  }
}

TEST_F(MarkerTest, FailedMaskCopyLeavesTheTemplateUnchanged) {
  WriteFile(kTemplate, "old");
  WriteFile(kMask, "mask");
  ASSERT_EQ(::mkdir("folder.html", 0777), 0);
  const std::tuple<const char*, const char*, const char*, int> cases[] = {
      {"no path", nullptr, kMask, zrtmask::kTemplateMissing},
      {"no mask path", kTemplate, nullptr, zrtmask::kMaskMissing},
      {"mask missing", kTemplate, "absent.html", zrtmask::kMaskMissing},
      {"mask is a directory", kTemplate, "folder.html", zrtmask::kOpenFailed},
      {"template in a missing directory", "absent/mask.html", kMask, zrtmask::kTemplateNotWritable},
  };
  for (const auto& [name, template_path, mask_path, code] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Outcome(ZRTHtmlFile(template_path).CopyMaskFile(mask_path)),
              std::to_string(code) + ":old left:");
  }
  const auto copy_mask = [] { return ZRTHtmlFile(kTemplate).CopyMaskFile(kMask); };
  ASSERT_EQ(::chmod(kMask, 0222), 0);
  EXPECT_EQ(Outcome(RunUnprivileged(copy_mask)), "21:old left:");
  ASSERT_EQ(::chmod(kMask, 0644), 0);
  ASSERT_EQ(::chmod(kTemplate, 0444), 0);
  EXPECT_EQ(Outcome(RunUnprivileged(copy_mask)), "8:old left:");
}

// The mask is copied straight over the template: the temporary directory plays no part.
TEST_F(MarkerTest, MaskCopyNeedsNoTemporaryDirectory) {
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  WriteFile(kTemplate, "old template");
  WriteFile(kMask, "<p>mask</p>\r\n");
  EXPECT_EQ(ZRTHtmlFile(kTemplate).CopyMaskFile(kMask), zrtmask::kOk);
  EXPECT_EQ(ZRTHtmlFile("fresh.html").CopyMaskFile(kMask), zrtmask::kOk);
  EXPECT_EQ(ReadFile(kTemplate), "<p>mask</p>\r\n");
  EXPECT_EQ(ReadFile("fresh.html"), "<p>mask</p>\r\n");
  EXPECT_FALSE(zrtmask::testing::FileExists("c:/temp"));
}

}  // namespace
