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
// Report(), then return. The end of input is handled once, in the main read: whatever item
// was being read is lost.
//
// Runs. The code reads the table by construct: kText (and, after "<!", the declaration being
// skipped), the names of kElementName and kAttributeName, kAttributeValue before "=", then
// unquoted, double-quoted or single-quoted, and kComment. InputOf gives, for each construct,
// the row of the table that a byte falls in; it is the table's input column, and the handlers
// switch on it. The bytes whose row is "append" and keeps the state are plain; every other
// byte, and the line feed (which only the main read takes), ends a run (RunStops). Each step
// of the main loop first moves the run of plain bytes ahead into the item's buffer in bulk
// (TakeRun, 16 bytes a step), then reads the byte that ended it and hands that to the
// construct's handler. As the run sets are derived from InputOf alone, the items and line
// numbers are those of reading one character at a time.
#include "ZRTDcHtmlHandler.h"

#include <cstddef>
#include <new>
#include <utility>

#include "base/platform.h"
#include "scanner/byte_reader.h"
#include "scanner/scan_access.h"
#include "zrtmask_result.h"

using zrtmask::ByteCursor;
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

// What is being read: the states, with the attribute value split by its progress and the
// declaration skipped within text.
enum class Construct : unsigned char {
  kText,
  kDeclaration,
  kName,
  kValueBeforeEquals,
  kUnquotedValue,
  kDoubleQuotedValue,
  kSingleQuotedValue,
  kComment,
};
constexpr int kConstructs = static_cast<int>(Construct::kComment) + 1;

// The input column of the state table.
enum class Input : unsigned char {
  kPlain,    // "append", keeping the state: the rows that runs are made of
  kIgnored,  // "ignore"
  kLess,     // "<" in text
  kBlank,
  kEquals,
  kGreater,
  kQuote,  // a quote that opens an unquoted value's quoted part, or the quote that ends one
  kDash,   // "-" in a comment
  kOther,  // before "=": anything else, which starts the next name
};

// The row of the state table that byte c (0 to 255) falls in, for each construct.
constexpr Input InputOf(Construct construct, int c) {
  switch (construct) {
    case Construct::kText:
      if (c == '<') return Input::kLess;
      return IsTextByte(c) ? Input::kPlain : Input::kIgnored;
    case Construct::kDeclaration:
      return c == '>' ? Input::kGreater : Input::kIgnored;
    case Construct::kName:
      if (IsBlank(c)) return Input::kBlank;
      if (c == '=') return Input::kEquals;
      if (c == '>') return Input::kGreater;
      return Input::kPlain;
    case Construct::kValueBeforeEquals:
      if (c == '>') return Input::kGreater;
      if (IsBlank(c)) return Input::kIgnored;
      if (c == '=') return Input::kEquals;
      return Input::kOther;
    case Construct::kUnquotedValue:
      if (IsQuote(c)) return Input::kQuote;
      if (c == '>') return Input::kGreater;
      if (IsBlank(c)) return Input::kBlank;  // appended while the value is empty
      return Input::kPlain;
    case Construct::kDoubleQuotedValue:
      return c == '"' ? Input::kQuote : Input::kPlain;
    case Construct::kSingleQuotedValue:
      return c == '\'' ? Input::kQuote : Input::kPlain;
    case Construct::kComment:
      return c == '-' ? Input::kDash : Input::kPlain;
  }
  return Input::kIgnored;
}

// InputOf as a table, for the handlers.
struct InputTable {
  Input rows[kConstructs][256];
  Input operator()(Construct construct, int c) const {
    return rows[static_cast<int>(construct)][c];
  }
};

constexpr InputTable MakeInputTable() {
  InputTable table{};
  for (int construct = 0; construct < kConstructs; ++construct) {
    for (int c = 0; c < 256; ++c) {
      table.rows[construct][c] = InputOf(static_cast<Construct>(construct), c);
    }
  }
  return table;
}

constexpr InputTable kInputs = MakeInputTable();

// A set of bytes: nonzero marks a byte that ends a run.
struct ByteSet {
  unsigned char marks[256];
  constexpr unsigned char operator[](unsigned char byte) const { return marks[byte]; }
};

// The run set of a construct, as ByteCursor::TakeRun takes it: every byte that is not plain
// ends a run, and so does the line feed.
template <Construct kConstruct>
struct RunStops {
  static constexpr ByteSet MakeTable() {
    ByteSet stops{};
    for (int c = 0; c < 256; ++c) {
      stops.marks[c] = c == '\n' || InputOf(kConstruct, c) != Input::kPlain ? 1 : 0;
    }
    return stops;
  }
  static constexpr ByteSet kTable = MakeTable();
};

// Whether a construct has plain bytes at all: the value before "=" and the declaration have
// none, so they take no runs.
constexpr bool HasRuns(Construct construct) {
  for (int c = 0; c < 256; ++c) {
    if (InputOf(construct, c) == Input::kPlain) return true;
  }
  return false;
}

}  // namespace

namespace zrtmask {

// One FindNextItem call: the main loop and the handlers. The place in the file is held in a
// local cursor, so that the compiler can keep it in registers; the scanner's fields would have
// to be read again after every byte stored into a buffer.
class ItemScan {
 public:
  explicit ItemScan(ZRTDcHtmlHandler& scanner)
      : cursor_(*scanner._stream), name_(scanner._name), value_(scanner._value), scanner_(scanner) {
    name_[0] = '\0';
    value_[0] = '\0';
  }
  ItemScan(const ItemScan&) = delete;
  ItemScan& operator=(const ItemScan&) = delete;

  // Reads up to the end of the next item that the find mask asks for. Returns true when one
  // was found, false at the end of the input.
  [[gnu::always_inline]] bool Find() {
    for (;;) {
      int c = 0;
      bool found = false;
      switch (Reading()) {
        case Construct::kText:
          if (!Read<Construct::kText>(&c)) return false;
          found = HandleText(c);
          break;
        case Construct::kDeclaration:
          if (!Read<Construct::kDeclaration>(&c)) return false;
          if (c == '>') skipping_declaration_ = false;
          break;
        case Construct::kName:
          if (!Read<Construct::kName>(&c)) return false;
          found = HandleName(c);
          break;
        case Construct::kValueBeforeEquals:
          if (!Read<Construct::kValueBeforeEquals>(&c)) return false;
          found = HandleValueBeforeEquals(c);
          break;
        case Construct::kUnquotedValue:
          if (!Read<Construct::kUnquotedValue>(&c)) return false;
          found = HandleValue(Construct::kUnquotedValue, c);
          break;
        case Construct::kDoubleQuotedValue:
          if (!Read<Construct::kDoubleQuotedValue>(&c)) return false;
          found = HandleValue(Construct::kDoubleQuotedValue, c);
          break;
        case Construct::kSingleQuotedValue:
          if (!Read<Construct::kSingleQuotedValue>(&c)) return false;
          found = HandleValue(Construct::kSingleQuotedValue, c);
          break;
        case Construct::kComment:
          if (!Read<Construct::kComment>(&c)) return false;
          found = HandleComment(c);
          break;
      }
      if (found) return true;
    }
  }

 private:
  using ScanState = ZRTDcHtmlHandler::ScanState;

  // The construct being read, from the state and the progress of an attribute value. Tested
  // in the order of how often each comes up.
  Construct Reading() const {
    const ScanState state = scanner_._state;
    if (state == ScanState::kText) {
      return skipping_declaration_ ? Construct::kDeclaration : Construct::kText;
    }
    if (state == ScanState::kElementName || state == ScanState::kAttributeName) {
      return Construct::kName;
    }
    if (state == ScanState::kComment) return Construct::kComment;
    if (scanner_._waitingForEquals) return Construct::kValueBeforeEquals;
    if (scanner_._quote == kNoQuote) return Construct::kUnquotedValue;
    return scanner_._quote == '"' ? Construct::kDoubleQuotedValue
                                  : Construct::kSingleQuotedValue;
  }

  // One step of the main loop in kConstruct: appends the run of plain bytes ahead to the
  // construct's buffer, within the buffer's limit, then reads the byte that ended it into *c
  // (the main read, which counts line feeds). Returns false at the end of the input.
  template <Construct kConstruct>
  bool Read(int* c) {
    if constexpr (kConstruct == Construct::kName) {
      const int taken = Run<kConstruct>(name_ + name_length_, kMaxNameLength - name_length_);
      if (taken > 0) {
        name_length_ += taken;
        scanner_._skipBlanks = 0;  // as every byte appended to a name does
      }
    } else if constexpr (kConstruct == Construct::kText) {
      // One byte short of the limit: the byte that fills the buffer goes to HandleText, which
      // hands the text out.
      value_length_ += Run<kConstruct>(value_ + value_length_, kMaxValueLength - 1 - value_length_);
    } else if constexpr (HasRuns(kConstruct)) {  // values and comments
      value_length_ += Run<kConstruct>(value_ + value_length_, kMaxValueLength - value_length_);
    }
    *c = cursor_.Get();
    if (*c == '\n') ++scanner_._lineNb;
    return *c != kEndOfInput;
  }

  // Moves the run of kConstruct ahead into dest, at most room bytes. Returns how many.
  template <Construct kConstruct>
  int Run(char* dest, int room) {
    return static_cast<int>(
        cursor_.TakeRun<RunStops<kConstruct>>(dest, static_cast<std::size_t>(room)));
  }

  // kText: "<" opening a tag, a comment or a declaration; a text byte; another control byte.
  bool HandleText(int c) {
    switch (kInputs(Construct::kText, c)) {
      case Input::kLess: {
        const int next = cursor_.Peek();
        if (IsBlank(next)) break;  // a "<" before a blank is text
        if (next != '!') return EndText(ScanState::kElementName);
        cursor_.Get();
        const int second = cursor_.Get();
        // In "<!--" the second "-" stays unread: it starts the comment body.
        if (second == '-' && cursor_.Peek() == '-') return EndText(ScanState::kComment);
        // A declaration such as a document type vanishes; the text goes on after its ">".
        cursor_.Unget(second);
        skipping_declaration_ = true;
        return false;
      }
      case Input::kPlain:
        break;
      default:  // a control byte that is not a blank
        return false;
    }
    AppendToValue(c);  // never full here: a full text is handed out at once
    if (value_length_ < kMaxValueLength) return false;
    // Over-long text goes out in pieces of the buffer's size, so that none of it is lost.
    TerminateValue();
    value_length_ = 0;
    return Report(ITEM_TEXT);
  }

  // Ends the text at a "<" that opens a tag or a comment. The text read so far is handed out
  // (text before a comment too, rather than being dropped); empty text never is.
  bool EndText(ScanState next) {
    TerminateValue();
    const bool has_text = value_length_ > 0;
    value_length_ = 0;
    scanner_._skipBlanks = 0;
    scanner_._state = next;
    return has_text && Report(ITEM_TEXT);
  }

  // kElementName and kAttributeName: a blank, "=", ">", anything else.
  bool HandleName(int c) {
    const bool element = scanner_._state == ScanState::kElementName;
    switch (kInputs(Construct::kName, c)) {
      case Input::kBlank:
        if (scanner_._skipBlanks != 0) return false;
        TerminateName();
        name_length_ = 0;
        ClearValue();
        if (element) {
          scanner_._state = ScanState::kAttributeName;
          return Report(ITEM_TAG);
        }
        scanner_._waitingForEquals = true;
        scanner_._quote = kNoQuote;
        scanner_._state = ScanState::kAttributeValue;
        return Report(ITEM_ATTRIBUTE);
      case Input::kEquals:
        TerminateName();
        name_length_ = 0;
        scanner_._skipBlanks = 0;
        if (element) return false;  // the element name read so far is dropped
        ClearValue();
        // The "=" is taken here rather than pushed back for the value state to read again:
        // the items are the same, with one step less per attribute.
        scanner_._waitingForEquals = false;
        scanner_._quote = kNoQuote;
        scanner_._state = ScanState::kAttributeValue;
        return Report(ITEM_ATTRIBUTE);
      case Input::kGreater:
        TerminateName();
        name_length_ = 0;
        ClearValue();
        scanner_._skipBlanks = 0;
        scanner_._state = ScanState::kText;
        return Report(element ? ITEM_TAG : ITEM_ATTRIBUTE);
      default:  // plain: the first byte of a block, or one beyond the limit
        AppendToName(c);
        scanner_._skipBlanks = 0;
        return false;
    }
  }

  // kAttributeValue before "=": ">", a blank, "=", anything else.
  bool HandleValueBeforeEquals(int c) {
    switch (kInputs(Construct::kValueBeforeEquals, c)) {
      case Input::kGreater:
        ClearValue();
        scanner_._skipBlanks = 0;
        scanner_._state = ScanState::kText;
        return Report(ITEM_VALUE);
      case Input::kEquals:
        scanner_._waitingForEquals = false;
        scanner_._quote = kNoQuote;
        return false;
      case Input::kOther:
        // An attribute without a value: c starts the next attribute name.
        ClearValue();
        cursor_.Unget(c);
        scanner_._skipBlanks = 1;
        scanner_._state = ScanState::kAttributeName;
        return Report(ITEM_VALUE);
      default:  // a blank
        return false;
    }
  }

  // kAttributeValue after "=": a quote, ">", a blank, anything else; quoted or not.
  bool HandleValue(Construct construct, int c) {
    switch (kInputs(construct, c)) {
      case Input::kQuote:
        if (scanner_._quote == kNoQuote) {  // opens the quoted part
          scanner_._quote = c;
          return false;
        }
        TerminateValue();  // the same quote again
        value_length_ = 0;
        scanner_._skipBlanks = 1;
        scanner_._state = ScanState::kAttributeName;
        return Report(ITEM_VALUE);
      case Input::kGreater:
        TerminateValue();
        value_length_ = 0;
        scanner_._skipBlanks = 0;
        scanner_._state = ScanState::kText;
        return Report(ITEM_VALUE);
      case Input::kBlank:
        if (value_length_ == 0) break;  // blanks between "=" and the value start the value
        TerminateValue();
        value_length_ = 0;
        scanner_._skipBlanks = 0;
        scanner_._state = ScanState::kAttributeName;
        return Report(ITEM_VALUE);
      default:  // plain: a line feed, the first byte of a block, or one beyond the limit
        break;
    }
    AppendToValue(c);  // beyond the limit the value is cut and reading goes on
    return false;
  }

  // kComment: "-" that may close the comment, anything else.
  bool HandleComment(int c) {
    AppendToValue(c);  // beyond the limit the body is cut and reading goes on
    switch (kInputs(Construct::kComment, c)) {
      case Input::kDash: {
        const int third = cursor_.Get();
        if (third != '-' || cursor_.Peek() != '>') {
          cursor_.Unget(third);  // read again as the next character
          return false;
        }
        cursor_.Get();  // the ">"
        TerminateValue();
        value_length_ = 0;
        scanner_._skipBlanks = 0;
        scanner_._state = ScanState::kText;
        return Report(ITEM_COMMENT);
      }
      default:  // plain: a line feed, the first byte of a block, or one beyond the limit
        return false;
    }
  }

  // Sets the item type and returns true when type is in the find mask; false otherwise.
  bool Report(int type) {
    if ((scanner_._findTypes & type) == 0) return false;
    scanner_._itemType = type;
    return true;
  }
  // Append c to the name or value buffer, storing nothing when it is full.
  void AppendToName(int c) {
    if (name_length_ < kMaxNameLength) name_[name_length_++] = static_cast<char>(c);
  }
  void AppendToValue(int c) {
    if (value_length_ < kMaxValueLength) value_[value_length_++] = static_cast<char>(c);
  }
  // End the name or value at its current length.
  void TerminateName() { name_[name_length_] = '\0'; }
  void TerminateValue() { value_[value_length_] = '\0'; }
  void ClearValue() {
    value_[0] = '\0';
    value_length_ = 0;
  }

  ByteCursor cursor_;
  char* const name_;
  char* const value_;
  ZRTDcHtmlHandler& scanner_;  // for the fields that reading changes
  // Per call: a call returns only right after an item has ended.
  int name_length_ = 0;                // bytes in the name buffer
  int value_length_ = 0;               // bytes in the value buffer
  bool skipping_declaration_ = false;  // skipping a "<!" declaration up to its ">"
};

}  // namespace zrtmask

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
  if (zrtmask::ItemScan(*this).Find()) return 1;
  _atEnd = 1;
  return 0;
}

namespace zrtmask {

int ScanAccess::ReadError(const ZRTDcHtmlHandler& scanner) {
  return scanner._stream == nullptr ? 0 : scanner._stream->read_error();
}

}  // namespace zrtmask
