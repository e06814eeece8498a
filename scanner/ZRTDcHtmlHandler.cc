// The HTML item scanner: a forgiving single-pass reader that hands out element names,
// attribute names and values, text and comments, one item per FindNextItem call.
//
// State table. Each call reads one character c at a time (the main read, which alone counts
// line feeds) and handles it by the current state until an item of a requested type is
// complete. "report T" hands the item out when T is in the find mask; otherwise reading goes
// on within the same call. A blank is a space, tab, line feed, vertical tab, form feed or CR.
//
//   state           input                        action                           next state
//   --------------  ---------------------------  -------------------------------  --------------
//   kText           "<" then "!-" then "-"       end the text, report TEXT if     kComment
//                                                any; the 2nd "-" starts the body
//                   "<" then "!" otherwise       skip up to the next ">"          kText
//                   "<" then no blank            end the text, report TEXT if     kElementName
//                                                any
//                   blank or 32..255 (a "<"      append; when full, report TEXT   kText
//                   before a blank too)          and start again empty
//                   other control byte           ignore                           kText
//   kElementName    blank while skipping blanks  ignore                           same
//   and             blank                        end the name, report TAG         kAttributeName
//   kAttributeName                               (element) or ATTR (attribute)    kAttributeValue
//                   "="                          element: drop the name           kElementName
//                                                attribute: end the name, report  kAttributeValue
//                                                ATTR; the "=" has been read      after "="
//                   ">"                          end the name, report TAG or      kText
//                                                ATTR (an empty name too)
//                   anything else                append (cut at 255)              same
//   kAttributeValue ">"                          report an empty VALUE            kText
//   before "="      blank                        ignore                           same
//                   "="                          wait no longer                   same
//                   anything else                report an empty VALUE, push c    kAttributeName
//                                                back, skip blanks
//   kAttributeValue first quote                  open the quoted part             same
//   after "="       the same quote again         end, report VALUE, skip blanks   kAttributeName
//                   quoted: anything else        append (cut at 524287)           same
//                   unquoted: ">"                end, report VALUE                kText
//                   unquoted: blank after value  end, report VALUE                kAttributeName
//                   unquoted: anything else      append (cut at 524287)           same
//   kComment        "-" then "-" then ">"        read "->", report COMMENT (the   kText
//                                                first "-" ends the body)
//                   anything else                append (cut at 524287)           same
//
// Conventions of this file: a handler's cases do buffer work, then the state change, then
// report(), then return. The end of input is handled once, in the main read: whatever item
// was being read is lost. After a plain character has been appended, the run of plain
// characters behind it is taken from the read buffer in one step (AppendRun); each run stops at
// every byte that has a row of its own, line feeds included, so the items and line numbers are
// those of reading one character at a time.
#include "ZRTDcHtmlHandler.h"

#include <cstdint>
#include <new>
#include <utility>

#include "base/platform.h"
#include "scanner/byte_reader.h"
#include "scanner/scan_access.h"
#include "zrtmask_result.h"

using zrtmask::ByteReader;
using zrtmask::kEndOfInput;

namespace {

constexpr int kNameBufferSize = 256;
constexpr int kValueBufferSize = 524288;
constexpr int kMaxNameLength = kNameBufferSize - 1;
constexpr int kMaxValueLength = kValueBufferSize - 1;
constexpr int kNoQuote = 0;

// The blanks of the C locale. Spelled out rather than asking <cctype>, so that a locale set
// by the host process cannot change the items.
constexpr bool IsBlank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// Bytes that text keeps: blanks and everything from 32 up. Other control bytes are dropped.
constexpr bool IsTextByte(int c) { return IsBlank(c) || (c >= 32 && c <= 255); }
constexpr bool IsQuote(int c) { return c == '"' || c == '\''; }

// A set of bytes: nonzero marks a byte that ends a run of plain characters.
struct ByteSet {
  unsigned char marks[256];
  constexpr unsigned char operator[](unsigned char byte) const { return marks[byte]; }
};

enum class RunKind {
  kText,
  kName,
  kUnquotedValue,
  kDoubleQuotedValue,
  kSingleQuotedValue,
  kComment
};

// The bytes that end a run of plain characters in each context: every byte that has a row of
// its own in the state table, and the line feed, which only the main read may take.
constexpr ByteSet MakeStops(RunKind kind) {
  ByteSet stops{};
  for (int c = 0; c < 256; ++c) {
    bool stop = c == '\n';
    switch (kind) {
      case RunKind::kText:
        stop = stop || c == '<' || !IsTextByte(c);
        break;
      case RunKind::kName:
        stop = stop || IsBlank(c) || c == '=' || c == '>';
        break;
      case RunKind::kUnquotedValue:
        stop = stop || IsBlank(c) || c == '>' || IsQuote(c);
        break;
      case RunKind::kDoubleQuotedValue:
        stop = stop || c == '"';
        break;
      case RunKind::kSingleQuotedValue:
        stop = stop || c == '\'';
        break;
      case RunKind::kComment:
        stop = stop || c == '-';
        break;
    }
    stops.marks[c] = stop ? 1 : 0;
  }
  return stops;
}

// Tests on 8 bytes read as one word, for the long runs (text, comments, quoted values).
constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;
// True when some byte of word is below limit (limit at most 128).
constexpr bool HasByteBelow(std::uint64_t word, std::uint64_t limit) {
  return ((word - kEveryByte * limit) & ~word & kHighBits) != 0;
}
constexpr bool HasByte(std::uint64_t word, unsigned char byte) {
  return HasByteBelow(word ^ (kEveryByte * byte), 1);
}

// The runs, as ByteReader::TakeRun takes them.
struct TextRun {
  static constexpr ByteSet kTable = MakeStops(RunKind::kText);
  static constexpr bool kWordWise = true;
  static bool MayStop(std::uint64_t word) { return HasByteBelow(word, 32) || HasByte(word, '<'); }
};
struct NameRun {
  static constexpr ByteSet kTable = MakeStops(RunKind::kName);
  static constexpr bool kWordWise = false;  // names are short
  static bool MayStop(std::uint64_t) { return true; }
};
struct UnquotedValueRun {
  static constexpr ByteSet kTable = MakeStops(RunKind::kUnquotedValue);
  static constexpr bool kWordWise = false;  // unquoted values are short
  static bool MayStop(std::uint64_t) { return true; }
};
template <char kQuote>
struct QuotedValueRun {
  static constexpr ByteSet kTable =
      MakeStops(kQuote == '"' ? RunKind::kDoubleQuotedValue : RunKind::kSingleQuotedValue);
  static constexpr bool kWordWise = true;
  static bool MayStop(std::uint64_t word) { return HasByte(word, kQuote) || HasByte(word, '\n'); }
};
struct CommentRun {
  static constexpr ByteSet kTable = MakeStops(RunKind::kComment);
  static constexpr bool kWordWise = true;
  static bool MayStop(std::uint64_t word) { return HasByte(word, '-') || HasByte(word, '\n'); }
};

// Appends the run ahead to a buffer that holds length bytes of at most limit. Returns the new
// length.
template <typename Run>
int AppendRun(ByteReader& reader, char* buffer, int length, int limit) {
  return length + static_cast<int>(reader.TakeRun<Run>(buffer + length,
                                                       static_cast<std::size_t>(limit - length)));
}

}  // namespace

const int ZRTDcHtmlHandler::s_MaxNameSize = kNameBufferSize;
const int ZRTDcHtmlHandler::s_MaxValueSize = kValueBufferSize;

ZRTDcHtmlHandler::ZRTDcHtmlHandler()
    : _stream(nullptr),
      _atEnd(1),
      _lineNb(1),
      _skipBlanks(0),
      _findTypes(0),
      _state(ScanState::kText),
      _itemType(0),
      _name(new (std::nothrow) char[kNameBufferSize]),
      _value(new (std::nothrow) char[kValueBufferSize]),
      _nameLength(0),
      _valueLength(0),
      _skippingDeclaration(false),
      _waitingForEquals(true),
      _quote(kNoQuote) {
  // No exception leaves the library: without its buffers the scanner opens nothing (15), like
  // a scanner that was moved from.
  if (_name == nullptr || _value == nullptr) {
    release();
    return;
  }
  _name[0] = '\0';
  _value[0] = '\0';
}

ZRTDcHtmlHandler::ZRTDcHtmlHandler(ZRTDcHtmlHandler&& other) noexcept
    : _stream(std::exchange(other._stream, nullptr)),
      _atEnd(std::exchange(other._atEnd, 1)),
      _lineNb(other._lineNb),
      _skipBlanks(other._skipBlanks),
      _findTypes(other._findTypes),
      _state(other._state),
      _itemType(other._itemType),
      _name(std::exchange(other._name, nullptr)),
      _value(std::exchange(other._value, nullptr)),
      _nameLength(other._nameLength),
      _valueLength(other._valueLength),
      _skippingDeclaration(other._skippingDeclaration),
      _waitingForEquals(other._waitingForEquals),
      _quote(other._quote) {}

ZRTDcHtmlHandler& ZRTDcHtmlHandler::operator=(ZRTDcHtmlHandler&& other) noexcept {
  if (this == &other) return *this;
  release();
  _stream = std::exchange(other._stream, nullptr);
  _atEnd = std::exchange(other._atEnd, 1);
  _lineNb = other._lineNb;
  _skipBlanks = other._skipBlanks;
  _findTypes = other._findTypes;
  _state = other._state;
  _itemType = other._itemType;
  _name = std::exchange(other._name, nullptr);
  _value = std::exchange(other._value, nullptr);
  _nameLength = other._nameLength;
  _valueLength = other._valueLength;
  _skippingDeclaration = other._skippingDeclaration;
  _waitingForEquals = other._waitingForEquals;
  _quote = other._quote;
  return *this;
}

ZRTDcHtmlHandler::~ZRTDcHtmlHandler() { release(); }

void ZRTDcHtmlHandler::release() {
  delete _stream;
  _stream = nullptr;
  delete[] _name;
  _name = nullptr;
  delete[] _value;
  _value = nullptr;
}

void ZRTDcHtmlHandler::SetFindTypes(int types) { _findTypes = types; }

int ZRTDcHtmlHandler::OpenFile(const char* path) {
  // A scanner serves one file; a second open replaces the first rather than leaking it. The
  // line number and state carry on, as they always have.
  delete _stream;
  _stream = nullptr;
  // Moved from, or the buffers could not be had: nothing to scan into.
  if (_name == nullptr || _value == nullptr) return zrtmask::kOpenFailed;
  ByteReader* reader = new (std::nothrow) ByteReader;
  int error = 0;
  if (reader != nullptr && reader->Open(path, &error)) {
    _stream = reader;
    _atEnd = 0;
    return zrtmask::kOk;
  }
  delete reader;
  if (!zrtmask::PathAccess(path, 0)) return zrtmask::kTemplateMissing;
  if (!zrtmask::PathAccess(path, 4)) return zrtmask::kTemplateUnreadable;
  return zrtmask::kOpenFailed;
}

int ZRTDcHtmlHandler::GetItemType() const { return _itemType; }

char* ZRTDcHtmlHandler::GetItemName() const { return _name; }

char* ZRTDcHtmlHandler::GetItemValue() const { return _value; }

int ZRTDcHtmlHandler::GetCurrentLineNb() { return _lineNb; }

int ZRTDcHtmlHandler::FindNextItem() {
  if (_stream == nullptr) {
    _atEnd = 1;
    return 0;
  }
  _name[0] = '\0';
  _value[0] = '\0';
  _nameLength = 0;
  _valueLength = 0;
  _skippingDeclaration = false;
  bool found = false;
  do {
    int c = _stream->Get();
    if (c == '\n') {
      ++_lineNb;
    } else if (c == kEndOfInput) {
      _atEnd = 1;
      return 0;
    }
    if (_skippingDeclaration) {
      if (c == '>') _skippingDeclaration = false;
      continue;
    }
    switch (_state) {
      case ScanState::kText:
        found = handleText(c);
        break;
      case ScanState::kElementName:
      case ScanState::kAttributeName:
        found = handleName(c);
        break;
      case ScanState::kAttributeValue:
        found = _waitingForEquals ? handleValueBeforeEquals(c) : handleValue(c);
        break;
      case ScanState::kComment:
        found = handleComment(c);
        break;
    }
  } while (!found);
  return 1;
}

// kText: "<" opening a tag, a comment or a declaration; a text byte; another control byte.
bool ZRTDcHtmlHandler::handleText(int c) {
  switch (c) {
    case '<': {
      const int next = _stream->Peek();
      if (IsBlank(next)) break;  // a "<" before a blank is text
      if (next != '!') return endText(ScanState::kElementName);
      _stream->Get();
      const int second = _stream->Get();
      // In "<!--" the second "-" stays unread: it starts the comment body.
      if (second == '-' && _stream->Peek() == '-') return endText(ScanState::kComment);
      // A declaration such as a document type vanishes; the text goes on after its ">".
      _stream->Unget(second);
      _skippingDeclaration = true;
      return false;
    }
    default:
      if (!IsTextByte(c)) return false;
      break;
  }
  appendToValue(c);  // never full here: a full text is handed out at once
  _valueLength = AppendRun<TextRun>(*_stream, _value, _valueLength, kMaxValueLength);
  if (_valueLength < kMaxValueLength) return false;
  // Over-long text goes out in pieces of the buffer's size, so that none of it is lost.
  terminateValue();
  _valueLength = 0;
  return report(ITEM_TEXT);
}

// Ends the text at a "<" that opens a tag or a comment. The text read so far is handed out
// (text before a comment too, rather than being dropped); empty text never is.
bool ZRTDcHtmlHandler::endText(ScanState next) {
  terminateValue();
  const bool has_text = _valueLength > 0;
  _valueLength = 0;
  _skipBlanks = 0;
  _state = next;
  return has_text && report(ITEM_TEXT);
}

// kElementName and kAttributeName: a blank, "=", ">", anything else.
bool ZRTDcHtmlHandler::handleName(int c) {
  const bool element = _state == ScanState::kElementName;
  switch (c) {
    case '=':
      terminateName();
      _nameLength = 0;
      _skipBlanks = 0;
      if (element) return false;  // the element name read so far is dropped
      clearValue();
      // The "=" is taken here rather than pushed back for the value state to read again:
      // the items are the same, with one step less per attribute.
      _waitingForEquals = false;
      _quote = kNoQuote;
      _state = ScanState::kAttributeValue;
      return report(ITEM_ATTRIBUTE);
    case '>':
      terminateName();
      _nameLength = 0;
      clearValue();
      _skipBlanks = 0;
      _state = ScanState::kText;
      return report(element ? ITEM_TAG : ITEM_ATTRIBUTE);
    default:
      if (IsBlank(c)) {
        if (_skipBlanks) return false;
        terminateName();
        _nameLength = 0;
        clearValue();
        _skipBlanks = 0;
        if (element) {
          _state = ScanState::kAttributeName;
          return report(ITEM_TAG);
        }
        _waitingForEquals = true;
        _quote = kNoQuote;
        _state = ScanState::kAttributeValue;
        return report(ITEM_ATTRIBUTE);
      }
      if (appendToName(c)) {  // when full, the name is cut
        _nameLength = AppendRun<NameRun>(*_stream, _name, _nameLength, kMaxNameLength);
      }
      _skipBlanks = 0;
      return false;
  }
}

// kAttributeValue before "=": ">", a blank, "=", anything else.
bool ZRTDcHtmlHandler::handleValueBeforeEquals(int c) {
  switch (c) {
    case '>':
      clearValue();
      _skipBlanks = 0;
      _state = ScanState::kText;
      return report(ITEM_VALUE);
    case '=':
      _waitingForEquals = false;
      _quote = kNoQuote;
      return false;
    default:
      if (IsBlank(c)) return false;
      // An attribute without a value: c starts the next attribute name.
      clearValue();
      _stream->Unget(c);
      _skipBlanks = 1;
      _state = ScanState::kAttributeName;
      return report(ITEM_VALUE);
  }
}

// kAttributeValue after "=": a quote, ">", a blank, anything else; quoted or not.
bool ZRTDcHtmlHandler::handleValue(int c) {
  switch (c) {
    case '"':
    case '\'':
      if (_quote == kNoQuote) {
        _quote = c;
        return false;
      }
      if (c == _quote) {
        terminateValue();
        _valueLength = 0;
        _skipBlanks = 1;
        _state = ScanState::kAttributeName;
        return report(ITEM_VALUE);
      }
      break;  // the other quote is part of the value
    case '>':
      if (_quote != kNoQuote) break;
      terminateValue();
      _valueLength = 0;
      _skipBlanks = 0;
      _state = ScanState::kText;
      return report(ITEM_VALUE);
    default:
      // Blanks between "=" and the value start the value.
      if (_quote != kNoQuote || !IsBlank(c) || _valueLength == 0) break;
      terminateValue();
      _valueLength = 0;
      _skipBlanks = 0;
      _state = ScanState::kAttributeName;
      return report(ITEM_VALUE);
  }
  // Beyond the limit the value is cut and reading goes on.
  if (appendToValue(c)) {
    if (_quote == '"') {
      _valueLength =
          AppendRun<QuotedValueRun<'"'>>(*_stream, _value, _valueLength, kMaxValueLength);
    } else if (_quote == '\'') {
      _valueLength =
          AppendRun<QuotedValueRun<'\''>>(*_stream, _value, _valueLength, kMaxValueLength);
    } else if (!IsBlank(c)) {
      _valueLength = AppendRun<UnquotedValueRun>(*_stream, _value, _valueLength, kMaxValueLength);
    }
  }
  return false;
}

// kComment: "-" that may close the comment, anything else.
bool ZRTDcHtmlHandler::handleComment(int c) {
  // Beyond the limit the body is cut and reading goes on.
  const bool stored = appendToValue(c);
  switch (c) {
    case '-': {
      const int third = _stream->Get();
      if (third != '-' || _stream->Peek() != '>') {
        _stream->Unget(third);  // read again as the next character
        return false;
      }
      _stream->Get();  // the ">"
      terminateValue();
      _valueLength = 0;
      _skipBlanks = 0;
      _state = ScanState::kText;
      return report(ITEM_COMMENT);
    }
    default:
      if (stored)
        _valueLength = AppendRun<CommentRun>(*_stream, _value, _valueLength, kMaxValueLength);
      return false;
  }
}

bool ZRTDcHtmlHandler::report(int type) {
  if ((_findTypes & type) == 0) return false;
  _itemType = type;
  return true;
}

bool ZRTDcHtmlHandler::appendToName(int c) {
  if (_nameLength == kMaxNameLength) return false;
  _name[_nameLength++] = static_cast<char>(c);
  return true;
}

bool ZRTDcHtmlHandler::appendToValue(int c) {
  if (_valueLength == kMaxValueLength) return false;
  _value[_valueLength++] = static_cast<char>(c);
  return true;
}

void ZRTDcHtmlHandler::terminateName() { _name[_nameLength] = '\0'; }

void ZRTDcHtmlHandler::terminateValue() { _value[_valueLength] = '\0'; }

void ZRTDcHtmlHandler::clearValue() {
  _value[0] = '\0';
  _valueLength = 0;
}

namespace zrtmask {

int ScanAccess::ReadError(const ZRTDcHtmlHandler& scanner) {
  return scanner._stream == nullptr ? 0 : scanner._stream->read_error();
}

}  // namespace zrtmask
