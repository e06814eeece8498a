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

// The keyword parts: the prefix common to every processing marker, and the suffix of each kind.
// A keyword is matched letter by letter: a letter out of turn ends the attempt, with no
// fall-back to an earlier letter.
constexpr char kPrefix[] = "QLX";
constexpr int kPrefixLength = 3;

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
    if (ToUpperAscii(c) != kPrefix[state]) return TOKEN_OTHER;
    if (++state == kPrefixLength) break;
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
  const char* suffix = nullptr;
  switch (kind) {
    case TOKEN_START:
      suffix = "START";
      break;
    case TOKEN_ANNOT:
      suffix = "ANNOT";
      break;
    case TOKEN_URL:
      suffix = "URL";
      break;
    case TOKEN_DBACCESS:
      suffix = "DBACCESS";
      break;
    case TOKEN_INDEX:
      suffix = "INDEX";
      break;
    default:
      return TOKEN_OTHER;
  }
  for (const char* letter = suffix; *letter != '\0'; ++letter) {
    const int c = readTokenChar();
    if (c == kEndOfInput) return TOKEN_OTHER;
    // A character that does not fit ends the attempt and is consumed with it, "<" included.
    if (ToUpperAscii(c) != *letter) return TOKEN_OTHER;
  }
  // Nothing after the keyword is read: it is left for the next call.
  return kind;
}
