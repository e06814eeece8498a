// Tests of the processing-marker tokenizer and of the marker rewrites built on it.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "ZRTHtmlFile.h"

// Reaches the private tokenizer: points it at string streams and sets the marker kind.
class ZRTHtmlFileTestPeer {
 public:
  ZRTHtmlFileTestPeer(const std::string& input, ZRTHtmlFile::Tokens kind) : input_(input) {
    file_._inStream = &input_;
    file_._outStream = &output_;
    file_._tokenKind = kind;
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
      {"7", "OTHER(7)"},
      {"\x80", "OTHER(\x80)"},
      {std::string(1, '\0'), std::string("OTHER(") + '\0' + ")"},
      {"\v\f", "OTHER(\v) OTHER(\f)"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(Visible(test.input));
    EXPECT_EQ(Tokenize(test.input, ZRTHtmlFile::TOKEN_START), test.tokens);
  }
}

TEST(MarkerTokenizerTest, KeywordOfTheKindIsRecognisedInAnyCase) {
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

TEST(MarkerTokenizerTest, OnlyTheKeywordOfTheKindIsRecognised) {
  struct Case {
    Tokens kind;
    const char* input;
    const char* tokens;
  };
  const Case cases[] = {
      {ZRTHtmlFile::TOKEN_ANNOT, "QLXSTART", "OTHER(QLXS) OTHER(T) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_START, "QLXDBACCESS",
       "OTHER(QLXD) OTHER(B) OTHER(A) OTHER(C) OTHER(C) OTHER(E) OTHER(S) OTHER(S)"},
      {ZRTHtmlFile::TOKEN_DBACCESS, "QLXURL", "OTHER(QLXU) OTHER(R) OTHER(L)"},
      // A kind outside the five marker kinds ends every call right after the prefix.
      {ZRTHtmlFile::TOKEN_OTHER, "QLXSTART",
       "OTHER(QLX) OTHER(S) OTHER(T) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_LT, "QLX<", "OTHER(QLX) LT(<)"},
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
      {ZRTHtmlFile::TOKEN_START, "Q>", "GT(Q>)"},
      {ZRTHtmlFile::TOKEN_START, "QL\n", "NEWLINE(QL\\n)"},
      // A prefix letter out of turn rejects, without falling back to an earlier state.
      {ZRTHtmlFile::TOKEN_START, "QQLXSTART",
       "OTHER(QQ) OTHER(L) OTHER(X) OTHER(S) OTHER(T) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_START, "QLQLX", "OTHER(QLQ) OTHER(L) OTHER(X)"},
      {ZRTHtmlFile::TOKEN_START, "Q\tLX", "OTHER(Q\\t) OTHER(L) OTHER(X)"},
      {ZRTHtmlFile::TOKEN_START, "x", "OTHER(x)"},
      // In a suffix, every character that does not fit is consumed, "<" included.
      {ZRTHtmlFile::TOKEN_START, "QLXSTA<", "OTHER(QLXSTA<)"},
      {ZRTHtmlFile::TOKEN_START, "QLXST ART", "OTHER(QLXST ) OTHER(A) OTHER(R) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_START, "QLX>", "OTHER(QLX>)"},
      {ZRTHtmlFile::TOKEN_START, "QLXSS", "OTHER(QLXSS)"},
      {ZRTHtmlFile::TOKEN_ANNOT, "QLXANNNOT", "OTHER(QLXANNN) OTHER(O) OTHER(T)"},
      {ZRTHtmlFile::TOKEN_DBACCESS, "QLXDBACESS", "OTHER(QLXDBACE) OTHER(S) OTHER(S)"},
      {ZRTHtmlFile::TOKEN_INDEX, "QLXINDEQ", "OTHER(QLXINDEQ)"},
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
      {"\n\r", "NEWLINE(\\n) OTHER(\\r)"},
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

}  // namespace
