// The template object and its marker tokenizer. The tokenizer copies a template to an output
// stream byte by byte and classifies what it copies, recognising the processing keywords.
#include "ZRTHtmlFile.h"

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <istream>
#include <ostream>
#include <string>

namespace {

constexpr int kEndOfInput = -1;

// A keyword matcher is a sequential automaton: state k means that the first k letters have been
// read, state `length` accepts and state `length + 1` rejects. Every distinct letter of the word
// has one table of next states, indexed by the current state; a letter read out of turn rejects,
// with no fall-back to an earlier state. A repeated letter has one table with several entries.
constexpr int kMaxKeywordLength = 8;  // DBACCESS

struct LetterTransitions {
  char letter;  // upper case
  signed char next_state[kMaxKeywordLength + 2];
};

struct KeywordAutomaton {
  int length;
  int reject;
  int letter_count;
  LetterTransitions letters[kMaxKeywordLength];
};

template <std::size_t kSize>
constexpr KeywordAutomaton MakeAutomaton(const char (&word)[kSize]) {
  static_assert(kSize - 1 <= kMaxKeywordLength, "keyword longer than the tables");
  KeywordAutomaton automaton{};
  automaton.length = static_cast<int>(kSize - 1);
  automaton.reject = automaton.length + 1;
  for (int position = 0; position < automaton.length; ++position) {
    int index = 0;
    while (index < automaton.letter_count && automaton.letters[index].letter != word[position]) {
      ++index;
    }
    LetterTransitions& table = automaton.letters[index];
    if (index == automaton.letter_count) {
      table.letter = word[position];
      for (int state = 0; state <= automaton.reject; ++state) {
        table.next_state[state] = static_cast<signed char>(automaton.reject);
      }
      ++automaton.letter_count;
    }
    table.next_state[position] = static_cast<signed char>(position + 1);
  }
  return automaton;
}

// The state after reading the upper-case letter in state, or -1 when the letter is not in the
// word at all.
int NextState(const KeywordAutomaton& automaton, int state, int letter) {
  for (int index = 0; index < automaton.letter_count; ++index) {
    const LetterTransitions& table = automaton.letters[index];
    if (table.letter == letter) return table.next_state[state];
  }
  return -1;
}

constexpr KeywordAutomaton kPrefix = MakeAutomaton("QLX");
constexpr KeywordAutomaton kStartSuffix = MakeAutomaton("START");
constexpr KeywordAutomaton kAnnotSuffix = MakeAutomaton("ANNOT");
constexpr KeywordAutomaton kUrlSuffix = MakeAutomaton("URL");
constexpr KeywordAutomaton kDbAccessSuffix = MakeAutomaton("DBACCESS");
constexpr KeywordAutomaton kIndexSuffix = MakeAutomaton("INDEX");

// Keyword letters match in either case, each letter on its own; other bytes are left alone.
int ToUpperAscii(int c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

}  // namespace

ZRTHtmlFile::ZRTHtmlFile()
    : _inStream(nullptr), _outStream(nullptr), _tokenKind(TOKEN_OTHER), _path(nullptr) {
  std::srand(static_cast<unsigned int>(std::time(nullptr)));
}

ZRTHtmlFile::ZRTHtmlFile(const char* path)
    : _inStream(nullptr), _outStream(nullptr), _tokenKind(TOKEN_OTHER), _path(path) {
  std::srand(static_cast<unsigned int>(std::time(nullptr)));
}

ZRTHtmlFile& ZRTHtmlFile::operator=(const ZRTHtmlFile& other) = default;

// The object owns nothing: the streams and the path are borrowed.
ZRTHtmlFile::~ZRTHtmlFile() {
  _inStream = nullptr;
  _outStream = nullptr;
  _path = nullptr;
}

int ZRTHtmlFile::readTokenChar() {
  if (_inStream == nullptr) return kEndOfInput;
  int c = _inStream->get();
  if (c == std::char_traits<char>::eof()) return kEndOfInput;
  // A CR LF line end reads as one LF, so that a marker spread over lines is found in a template
  // with CR LF line ends too; the copy back writes the CR LF again. A lone CR stays as it is.
  if (c == '\r' && _inStream->peek() == '\n') c = _inStream->get();
  // Every byte is echoed before it is classified: the output is an exact copy of what has been
  // consumed, whatever tokens are returned.
  if (_outStream != nullptr) _outStream->put(static_cast<char>(c));
  return c;
}

ZRTHtmlFile::Tokens ZRTHtmlFile::getNextToken() {
  int state = 0;
  for (;;) {
    const int c = readTokenChar();
    switch (c) {
      // At the end of the input, also with a prefix cut short, nothing is written.
      case kEndOfInput:
        return TOKEN_OTHER;
      // These abandon a partly read prefix and are reported on their own.
      case '<':
        return TOKEN_LT;
      case ' ':
        return TOKEN_BLANK;
      case '>':
        return TOKEN_GT;
      case '\n':
        return TOKEN_NEWLINE;
      default:
        break;
    }
    state = NextState(kPrefix, state, ToUpperAscii(c));
    if (state < 0 || state == kPrefix.reject) return TOKEN_OTHER;
    if (state == kPrefix.length) break;
  }
  switch (_tokenKind) {
    case TOKEN_START:
      return getNextTokenSTART();
    case TOKEN_ANNOT:
      return getNextTokenANNOT();
    case TOKEN_URL:
      return getNextTokenURL();
    case TOKEN_DBACCESS:
      return getNextTokenDB();
    case TOKEN_INDEX:
      return getNextTokenINDEX();
    default:
      return TOKEN_OTHER;
  }
}

ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenSTART() { return matchSuffix(TOKEN_START); }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenANNOT() { return matchSuffix(TOKEN_ANNOT); }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenURL() { return matchSuffix(TOKEN_URL); }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenDB() { return matchSuffix(TOKEN_DBACCESS); }
ZRTHtmlFile::Tokens ZRTHtmlFile::getNextTokenINDEX() { return matchSuffix(TOKEN_INDEX); }

ZRTHtmlFile::Tokens ZRTHtmlFile::matchSuffix(Tokens kind) {
  const KeywordAutomaton* suffix = nullptr;
  switch (kind) {
    case TOKEN_START:
      suffix = &kStartSuffix;
      break;
    case TOKEN_ANNOT:
      suffix = &kAnnotSuffix;
      break;
    case TOKEN_URL:
      suffix = &kUrlSuffix;
      break;
    case TOKEN_DBACCESS:
      suffix = &kDbAccessSuffix;
      break;
    case TOKEN_INDEX:
      suffix = &kIndexSuffix;
      break;
    default:
      return TOKEN_OTHER;
  }
  int state = 0;
  for (;;) {
    const int c = readTokenChar();
    if (c == kEndOfInput) return TOKEN_OTHER;
    // A character that does not fit ends the attempt and is consumed with it, "<" included.
    state = NextState(*suffix, state, ToUpperAscii(c));
    if (state < 0 || state == suffix->reject) return TOKEN_OTHER;
    // Nothing after the keyword is read: it is left for the next call.
    if (state == suffix->length) return kind;
  }
}
