// Tests of the processing-marker tokenizer and of the marker rewrites built on it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
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

std::string TokenName(Tokens token) {
  switch (token) {
    case ZRTHtmlFile::TOKEN_LT:
      return "LT";
    case ZRTHtmlFile::TOKEN_BLANK:
      return "BLANK";
    case ZRTHtmlFile::TOKEN_GT:
      return "GT";
    case ZRTHtmlFile::TOKEN_NEWLINE:
      return "NEWLINE";
    case ZRTHtmlFile::TOKEN_START:
      return "START";
    case ZRTHtmlFile::TOKEN_OTHER:
      return "OTHER";
    case ZRTHtmlFile::TOKEN_ANNOT:
      return "ANNOT";
    case ZRTHtmlFile::TOKEN_URL:
      return "URL";
    case ZRTHtmlFile::TOKEN_DBACCESS:
      return "DBACCESS";
    case ZRTHtmlFile::TOKEN_INDEX:
      return "INDEX";
  }
  return "?";
}

std::string Visible(const std::string& bytes) {
  std::string shown;
  for (char c : bytes) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += c;
    }
  }
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
    if (!result.empty()) result += ' ';
    result += TokenName(token) + "(" + Visible(output.substr(echoed)) + ")";
    echoed = output.size();
  }
  return result;
}

TEST(MarkerTokenizerTest, MarkerCharactersAreTheirOwnTokens) {
  struct Case {
    std::string input;
    std::string tokens;
  };
  const Case cases[] = {
      {"<", "LT(<)"},
      {" ", "BLANK( )"},
      {">", "GT(>)"},
      {"\n", "NEWLINE(\\n)"},
      {"\t", "OTHER(\\t)"},
      {"\r", "OTHER(\\r)"},
      {"a", "OTHER(a)"},
      {"\x80", "OTHER(\x80)"},
      {std::string(1, '\0'), std::string("OTHER(") + '\0' + ")"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(Visible(test.input));
    EXPECT_EQ(Tokenize(test.input, ZRTHtmlFile::TOKEN_START), test.tokens);
  }
}

TEST(MarkerTokenizerTest, OnlyTheKeywordOfTheKindIsRecognisedInAnyCase) {
  struct Case {
    Tokens kind;
    const char* input;
    const char* tokens;
  };
  const Case cases[] = {
      {ZRTHtmlFile::TOKEN_START, "QLXSTART>", "START(QLXSTART) GT(>)"},
      {ZRTHtmlFile::TOKEN_START, "qlxstart", "START(qlxstart)"},
      {ZRTHtmlFile::TOKEN_START, "qLxStArT", "START(qLxStArT)"},
      {ZRTHtmlFile::TOKEN_ANNOT, "QLXANNOT", "ANNOT(QLXANNOT)"},
      {ZRTHtmlFile::TOKEN_URL, "qlxurl ", "URL(qlxurl) BLANK( )"},
      {ZRTHtmlFile::TOKEN_DBACCESS, "QLXDBACCESS", "DBACCESS(QLXDBACCESS)"},
      {ZRTHtmlFile::TOKEN_INDEX, "QlxIndex", "INDEX(QlxIndex)"},
      // Whatever follows a keyword is left for the next call.
      {ZRTHtmlFile::TOKEN_START, "QLXSTARTED", "START(QLXSTART) OTHER(E) OTHER(D)"},
      {ZRTHtmlFile::TOKEN_START, "X<QLXSTART>", "OTHER(X) LT(<) START(QLXSTART) GT(>)"},
      {ZRTHtmlFile::TOKEN_URL, "QL QLXURL", "BLANK(QL ) URL(QLXURL)"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.input);
    EXPECT_EQ(Tokenize(test.input, test.kind), test.tokens);
  }
}

TEST(MarkerTokenizerTest, FailedAttemptConsumesUpToTheCharacterThatDidNotFit) {
  struct Case {
    Tokens kind;
    const char* input;
    const char* tokens;
  };
  const Case cases[] = {
      // A marker character met while the prefix is incomplete is reported on its own.
      {ZRTHtmlFile::TOKEN_START, "QL<", "LT(QL<)"},
      {ZRTHtmlFile::TOKEN_START, "QL\n", "NEWLINE(QL\\n)"},
      // A prefix letter out of turn rejects, without falling back to an earlier state.
      {ZRTHtmlFile::TOKEN_START, "QQLXSTART",
       "OTHER(QQ) OTHER(L) OTHER(X) OTHER(S) OTHER(T) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_START, "QLQLX", "OTHER(QLQ) OTHER(L) OTHER(X)"},
      {ZRTHtmlFile::TOKEN_START, "Q\tLX", "OTHER(Q\\t) OTHER(L) OTHER(X)"},
      // In a suffix, every character that does not fit is consumed, "<" included.
      {ZRTHtmlFile::TOKEN_START, "QLXSTA<", "OTHER(QLXSTA<)"},
      {ZRTHtmlFile::TOKEN_START, "QLXST ART", "OTHER(QLXST ) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_START, "QLX>", "OTHER(QLX>)"},
      {ZRTHtmlFile::TOKEN_START, "QLXSS", "OTHER(QLXSS)"},
      {ZRTHtmlFile::TOKEN_ANNOT, "QLXANNNOT", "OTHER(QLXANNN) OTHER(O) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_DBACCESS, "QLXDBACESS", "OTHER(QLXDBACE) OTHER(S) OTHER(S)"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(Visible(test.input));
    EXPECT_EQ(Tokenize(test.input, test.kind), test.tokens);
  }
}

TEST(MarkerTokenizerTest, EndOfInputReturnsOtherAndWritesNothing) {
  const char* inputs[] = {"", "Q", "QL", "QLX", "QLXSTA", "qlxstar"};
  for (const char* input : inputs) {
    SCOPED_TRACE(input);
    ZRTHtmlFileTestPeer peer(input, ZRTHtmlFile::TOKEN_START);
    EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
    EXPECT_EQ(peer.Output(), input);
    EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
    EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
    EXPECT_EQ(peer.Output(), input);
  }
}

TEST(MarkerTokenizerTest, CrLfReadsAsOneLineFeed) {
  struct Case {
    const char* input;
    const char* tokens;
  };
  const Case cases[] = {
      {"\r\n", "NEWLINE(\\n)"},
      {"\r", "OTHER(\\r)"},
      {"\r\r\n", "OTHER(\\r) NEWLINE(\\n)"},
      {"<\r\nQLXSTART\r\n>", "LT(<) NEWLINE(\\n) START(QLXSTART) NEWLINE(\\n) GT(>)"},
      {"QL\r\n", "NEWLINE(QL\\n)"},
      {"QLXST\r\n", "OTHER(QLXST\\n)"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(Visible(test.input));
    EXPECT_EQ(Tokenize(test.input, ZRTHtmlFile::TOKEN_START), test.tokens);
  }
}

// Whatever the tokens, the output is the input, with CR LF pairs as single line feeds.
TEST(MarkerTokenizerTest, OutputIsACopyOfTheInput) {
  const std::string alphabet = "QLXqlxSTARTannotURLdbaccessINDEX<> \n\r\t\x80\xff";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  const Tokens kinds[] = {ZRTHtmlFile::TOKEN_START, ZRTHtmlFile::TOKEN_ANNOT,
                          ZRTHtmlFile::TOKEN_URL,   ZRTHtmlFile::TOKEN_DBACCESS,
                          ZRTHtmlFile::TOKEN_INDEX, ZRTHtmlFile::TOKEN_OTHER};
  for (int round = 0; round < 200; ++round) {
    std::string input;
    for (int length = 0; length < 64; ++length) input += alphabet[pick(random)];
    std::string expected;
    for (std::size_t position = 0; position < input.size(); ++position) {
      if (!(input[position] == '\r' && position + 1 < input.size() &&
            input[position + 1] == '\n')) {
        expected += input[position];
      }
    }
    for (Tokens kind : kinds) {
      SCOPED_TRACE(Visible(input) + " kind " + TokenName(kind));
      ZRTHtmlFileTestPeer peer(input, kind);
      while (peer.InputLeft()) peer.Next();
      EXPECT_EQ(peer.Next(), ZRTHtmlFile::TOKEN_OTHER);
      EXPECT_EQ(peer.Output(), expected);
    }
  }
}

using zrtmask::testing::ReadFile;
using zrtmask::testing::RunUnprivileged;
using zrtmask::testing::WriteFile;

constexpr char kTemplate[] = "mask.html";
constexpr char kMask[] = "new.html";

class MarkerTest : public zrtmask::testing::ScratchDirTest {
 protected:
  // The texts of the files left in c:/temp/, which is then emptied.
  std::vector<std::string> LeftInTemp() {
    std::vector<std::string> texts;
    for (const std::string& name : TempFiles()) {
      texts.push_back(ReadFile("c:/temp/" + name));
      ::unlink(("c:/temp/" + name).c_str());
    }
    return texts;
  }
};

using Setter = int (ZRTHtmlFile::*)(ZRTUnicodeString);

// Writes html as the template, runs setter with value and shows "code:template bytes".
std::string SetValue(Setter setter, const std::string& html, const std::string& value) {
  WriteFile(kTemplate, html);
  ZRTHtmlFile file(kTemplate);
  const int code = (file.*setter)(ZRTUnicodeString(value.c_str()));
  return std::to_string(code) + ":" + ReadFile(kTemplate);
}

TEST_F(MarkerTest, ValueGoesOnALineOfItsOwnAfterTheFirstMarkerOfTheKind) {
  struct Case {
    Setter setter;
    const char* html;
    const char* value;
    const char* result;
  };
  const Case cases[] = {
      {&ZRTHtmlFile::SetZRTStart, "A<QLXSTART>B", "x", "0:A<QLXSTART>\nx\nB"},
      {&ZRTHtmlFile::SetZRTStart, "A<QLXSTART>B", "", "0:A<QLXSTART>\n\nB"},
      {&ZRTHtmlFile::SetZRTStart, "<qlxStart>", "x", "0:<qlxStart>\nx\n"},
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTART>a<QLXSTART>b", "x", "0:<QLXSTART>\nx\na<QLXSTART>b"},
      {&ZRTHtmlFile::SetZRTAnnotations, "<QLXSTART>a<QLXANNOT>b", "x",
       "0:<QLXSTART>a<QLXANNOT>\nx\nb"},
      {&ZRTHtmlFile::SetZRTURL, "<  QLXURL  >", "x", "0:<  QLXURL  >\nx\n"},
      {&ZRTHtmlFile::SetZRTURL, "<\n qlxurl\n>", "x", "0:<\n qlxurl\n>\nx\n"},
      {&ZRTHtmlFile::SetZRTDBAccess, "<QlxDbAccess>", "x", "0:<QlxDbAccess>\nx\n"},
      // The value is written as UTF-8 and ends at its first zero byte.
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTART>", "caf\xc3\xa9", "0:<QLXSTART>\ncaf\xc3\xa9\n"},
      // A "<" that starts the marker afresh, and an X that fails the prefix on its own.
      {&ZRTHtmlFile::SetZRTStart, "<<QLXSTART>", "x", "0:<<QLXSTART>\nx\n"},
      {&ZRTHtmlFile::SetZRTStart, "X<QLXSTART>", "x", "0:X<QLXSTART>\nx\n"},
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTA <QLXSTART>", "x", "0:<QLXSTA <QLXSTART>\nx\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(SetValue(test.setter, test.html, test.value), test.result);
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(MarkerTest, NearMissesAreNotMarkers) {
  struct Case {
    Setter setter;
    const char* html;
  };
  const Case cases[] = {
      {&ZRTHtmlFile::SetZRTURL, "<\tQLXURL>"},
      {&ZRTHtmlFile::SetZRTURL, "<QLXURL\t>"},
      {&ZRTHtmlFile::SetZRTAnnotations, "<QLXSTART>"},
      {&ZRTHtmlFile::SetZRTStart, "<QQLXSTART>"},
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTART x>"},
      {&ZRTHtmlFile::SetZRTStart, "<x QLXSTART>"},
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTART"},
      // The failed suffix consumes the "<" that would have started the real marker.
      {&ZRTHtmlFile::SetZRTStart, "<QLXSTA<QLXSTART>"},
      {&ZRTHtmlFile::SetZRTDBAccess, "<QLXDBACESS>"},
      {&ZRTHtmlFile::SetZRTStart, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(SetValue(test.setter, test.html, "x"), std::string("0:") + test.html);
  }
}

TEST_F(MarkerTest, TemplateBytesAreCopiedThroughUnchanged) {
  struct Case {
    std::string html;
    std::string result;
  };
  const Case cases[] = {
      {std::string("a\0b\xff\x80<QLXSTART>\n\n\nc\t", 19),
       std::string("0:a\0b\xff\x80<QLXSTART>\nv\n\n\n\nc\t", 24)},
      {"lone\rcarriage\rreturns\n<QLXSTART>", "0:lone\rcarriage\rreturns\n<QLXSTART>\nv\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(SetValue(&ZRTHtmlFile::SetZRTStart, test.html, "v"), test.result);
  }
}

// The template keeps the convention of its first line end, which the inserted lines follow
// too; a marker spread over CR LF lines is found.
TEST_F(MarkerTest, LineEndsFollowTheTemplatesFirstLineEnd) {
  struct Case {
    const char* html;
    const char* result;
  };
  const Case cases[] = {
      {"a\r\n<\r\nQLXSTART\r\n>b\r\n", "0:a\r\n<\r\nQLXSTART\r\n>\r\nx\r\nb\r\n"},
      {"a\r\nb\r\n\r\n<QLXSTART>", "0:a\r\nb\r\n\r\n<QLXSTART>\r\nx\r\n"},
      {"a\r\nb\n<QLXSTART>", "0:a\r\nb\r\n<QLXSTART>\r\nx\r\n"},
      {"a\nb\r\n<QLXSTART>", "0:a\nb\n<QLXSTART>\nx\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.html);
    EXPECT_EQ(SetValue(&ZRTHtmlFile::SetZRTStart, test.html, "x"), test.result);
  }
}

TEST_F(MarkerTest, EachValueIsInsertedAboveTheEarlierOnes) {
  WriteFile(kTemplate, "A<QLXSTART>B");
  ZRTHtmlFile file(kTemplate);
  EXPECT_EQ(file.SetZRTStart("x"), zrtmask::kOk);
  EXPECT_EQ(file.SetZRTStart("y"), zrtmask::kOk);
  EXPECT_EQ(ReadFile(kTemplate), "A<QLXSTART>\ny\n\nx\nB");
}

TEST_F(MarkerTest, IndexMarkerIsRecognisedWhenAskedFor) {
  WriteFile(kTemplate, "<QLXSTART><QLXINDEX>");
  ZRTHtmlFile file(kTemplate);
  EXPECT_EQ(ZRTHtmlFileTestPeer::SetToken(file, "i", ZRTHtmlFile::TOKEN_INDEX), zrtmask::kOk);
  EXPECT_EQ(ReadFile(kTemplate), "<QLXSTART><QLXINDEX>\ni\n");
}

// Runs body in a child process whose files may not grow beyond limit bytes; a write past it
// fails with EFBIG instead of raising a signal.
int RunWithFileSizeLimit(rlim_t limit, const std::function<int()>& body) {
  return RunUnprivileged([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit size_limit = {limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &size_limit) != 0) return 255;
    return body();
  });
}

TEST_F(MarkerTest, FailedMarkerRewriteLeavesTheTemplateUnchanged) {
  const std::string html = "A<QLXSTART>B";
  {
    SCOPED_TRACE("no path");
    ZRTHtmlFile file;
    EXPECT_EQ(file.SetZRTStart("x"), zrtmask::kTemplateMissing);
    EXPECT_TRUE(TempFiles().empty());
  }
  {
    SCOPED_TRACE("temporary directory missing");
    WriteFile(kTemplate, html);
    ASSERT_EQ(::rmdir("c:/temp"), 0);
    ZRTHtmlFile file(kTemplate);
    EXPECT_EQ(file.SetZRTStart("x"), zrtmask::kTemplateNotWritable);
    EXPECT_EQ(ReadFile(kTemplate), html);
    ASSERT_EQ(::mkdir("c:/temp", 0777), 0);
    ASSERT_EQ(::chmod("c:/temp", 0777), 0);
  }
  // From here on the temporary file exists when the rewrite fails, and is left behind with
  // what had been written to it.
  {
    SCOPED_TRACE("template is a directory");
    ASSERT_EQ(::mkdir("folder.html", 0777), 0);
    ZRTHtmlFile file("folder.html");
    EXPECT_EQ(file.SetZRTStart("x"), zrtmask::kTemplateNotWritable);
    EXPECT_EQ(LeftInTemp(), std::vector<std::string>{""});
  }
  {
    SCOPED_TRACE("template not writable");
    WriteFile(kTemplate, html);
    ASSERT_EQ(::chmod(kTemplate, 0444), 0);
    EXPECT_EQ(RunUnprivileged([] { return ZRTHtmlFile(kTemplate).SetZRTStart("x"); }),
              zrtmask::kTemplateNotWritable);
    EXPECT_EQ(ReadFile(kTemplate), html);
    EXPECT_EQ(LeftInTemp(), std::vector<std::string>{"A<QLXSTART>\nx\nB"});
    ASSERT_EQ(::chmod(kTemplate, 0666), 0);
  }
  {
    SCOPED_TRACE("write error in the temporary file");
    const std::string large = "<QLXSTART>" + std::string(8192, 'a');
    WriteFile(kTemplate, large);
    EXPECT_EQ(RunWithFileSizeLimit(4096, [] { return ZRTHtmlFile(kTemplate).SetZRTStart("x"); }),
              zrtmask::kOpenFailed);
    EXPECT_EQ(ReadFile(kTemplate), large);
    // The part written before the limit stopped it.
    const std::string new_text = "<QLXSTART>\nx\n" + std::string(8192, 'a');
    EXPECT_EQ(LeftInTemp(), std::vector<std::string>{new_text.substr(0, 4096)});
  }
}

// Without the template there is nothing to copy: 8, and, as before, the empty temporary file
// created first stays behind.
TEST_F(MarkerTest, UnreadableTemplateGivesEightAndLeavesAnEmptyTemporaryFile) {
  {
    SCOPED_TRACE("missing");
    ZRTHtmlFile file("absent.html");
    EXPECT_EQ(file.SetZRTURL("x"), zrtmask::kTemplateNotWritable);
    const std::vector<std::string> left = TempFiles();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ReadFile("c:/temp/" + left[0]), "");
    ASSERT_EQ(::unlink(("c:/temp/" + left[0]).c_str()), 0);
  }
  {
    SCOPED_TRACE("not readable");
    WriteFile(kTemplate, "<QLXURL>");
    ASSERT_EQ(::chmod(kTemplate, 0222), 0);
    EXPECT_EQ(RunUnprivileged([] { return ZRTHtmlFile(kTemplate).SetZRTURL("x"); }),
              zrtmask::kTemplateNotWritable);
    ASSERT_EQ(::chmod(kTemplate, 0644), 0);
    EXPECT_EQ(ReadFile(kTemplate), "<QLXURL>");
    const std::vector<std::string> left = TempFiles();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ReadFile("c:/temp/" + left[0]), "");
  }
}

// A failed copy back keeps the complete new text in the temporary file.
TEST_F(MarkerTest, FailedCopyBackKeepsTheNewTextInTheTemporaryFile) {
  std::string html = "<QLXSTART>";
  for (int line = 0; line < 1000; ++line) html += "line\r\n";
  WriteFile(kTemplate, html);
  ASSERT_EQ(::chmod(kTemplate, 0666), 0);
  // The temporary file holds single line feeds and fits; the template, with CR LF, does not.
  EXPECT_EQ(RunWithFileSizeLimit(html.size() - 100,
                                 [] { return ZRTHtmlFile(kTemplate).SetZRTStart("x"); }),
            zrtmask::kOpenFailed);
  const std::vector<std::string> left = TempFiles();
  ASSERT_EQ(left.size(), 1u);
  std::string expected = "<QLXSTART>\nx\n";
  for (int line = 0; line < 1000; ++line) expected += "line\n";
  EXPECT_EQ(ReadFile("c:/temp/" + left[0]), expected);
}

std::string CopyMask(const std::string& mask_bytes) {
  WriteFile(kMask, mask_bytes);
  ZRTHtmlFile file(kTemplate);
  const int code = file.CopyMaskFile(kMask);
  return std::to_string(code) + ":" + ReadFile(kTemplate);
}

TEST_F(MarkerTest, MaskBytesReplaceTheTemplate) {
  const std::string masks[] = {
      "<html>\r\n<QLXSTART>\n\n\n</html>",
      std::string("a\0\xff\r\r\n", 6),
      "",
  };
  for (const std::string& mask : masks) {
    SCOPED_TRACE(mask);
    WriteFile(kTemplate, "old\r\ntemplate\r\n");
    EXPECT_EQ(CopyMask(mask), "0:" + mask);
    EXPECT_TRUE(TempFiles().empty());
  }
  {
    SCOPED_TRACE("template created");
    ZRTHtmlFile file("fresh.html");
    EXPECT_EQ(file.CopyMaskFile(kMask), zrtmask::kOk);
    EXPECT_EQ(ReadFile("fresh.html"), "");
  }
  {
    SCOPED_TRACE("mask is the template");
    WriteFile(kTemplate, "same");
    ASSERT_EQ(::symlink(kTemplate, "link.html"), 0);
    ZRTHtmlFile file(kTemplate);
    EXPECT_EQ(file.CopyMaskFile(kTemplate), zrtmask::kOk);
    EXPECT_EQ(file.CopyMaskFile("./mask.html"), zrtmask::kOk);
    EXPECT_EQ(file.CopyMaskFile("link.html"), zrtmask::kOk);
    EXPECT_EQ(ReadFile(kTemplate), "same");
  }
}

TEST_F(MarkerTest, FailedMaskCopyLeavesTheTemplateUnchanged) {
  const std::string html = "old template";
  WriteFile(kTemplate, html);
  WriteFile(kMask, "mask");
  ASSERT_EQ(::mkdir("folder.html", 0777), 0);
  struct Case {
    const char* name;
    const char* template_path;
    const char* mask_path;
    int code;
  };
  const Case cases[] = {
      {"no path", nullptr, kMask, zrtmask::kTemplateMissing},
      {"no mask path", kTemplate, nullptr, zrtmask::kMaskMissing},
      {"mask missing", kTemplate, "absent.html", zrtmask::kMaskMissing},
      {"mask is a directory", kTemplate, "folder.html", zrtmask::kOpenFailed},
      {"template in a missing directory", "absent/mask.html", kMask, zrtmask::kTemplateNotWritable},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ZRTHtmlFile file(test.template_path);
    EXPECT_EQ(file.CopyMaskFile(test.mask_path), test.code);
    EXPECT_EQ(ReadFile(kTemplate), html);
    EXPECT_TRUE(TempFiles().empty());
  }
  {
    SCOPED_TRACE("mask not readable");
    ASSERT_EQ(::chmod(kMask, 0222), 0);
    EXPECT_EQ(RunUnprivileged([] { return ZRTHtmlFile(kTemplate).CopyMaskFile(kMask); }),
              zrtmask::kMaskUnreadable);
    ASSERT_EQ(::chmod(kMask, 0644), 0);
    EXPECT_EQ(ReadFile(kTemplate), html);
    EXPECT_TRUE(TempFiles().empty());
  }
  {
    SCOPED_TRACE("template not writable");
    ASSERT_EQ(::chmod(kTemplate, 0444), 0);
    EXPECT_EQ(RunUnprivileged([] { return ZRTHtmlFile(kTemplate).CopyMaskFile(kMask); }),
              zrtmask::kTemplateNotWritable);
    ASSERT_EQ(::chmod(kTemplate, 0644), 0);
    EXPECT_EQ(ReadFile(kTemplate), html);
    EXPECT_TRUE(TempFiles().empty());
  }
}

// The mask is copied straight over the template: the temporary directory plays no part.
TEST_F(MarkerTest, MaskCopyNeedsNoTemporaryDirectory) {
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  WriteFile(kTemplate, "old template");
  EXPECT_EQ(CopyMask("<p>mask</p>\r\n"), "0:<p>mask</p>\r\n");
  ZRTHtmlFile file("fresh.html");
  EXPECT_EQ(file.CopyMaskFile(kMask), zrtmask::kOk);
  EXPECT_EQ(ReadFile("fresh.html"), "<p>mask</p>\r\n");
  EXPECT_FALSE(zrtmask::testing::FileExists("c:/temp"));
}

}  // namespace
