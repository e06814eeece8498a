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
// Conventions of this file: a state's code does buffer work, then reports the item (which
// names the state to go on in), then goes to the next state. The end of input is met in the
// main read: whatever item was being read is lost.
//
// Runs. The code reads the table by construct: kText (and, after "<!", the declaration being
// skipped), the names of kElementName and kAttributeName, kAttributeValue before "=", then
// unquoted, double-quoted or single-quoted, and kComment. InputOf gives, for each construct,
// the row of the table that a byte falls in; it is the table's input column, and the states'
// code switches on it. The bytes whose row is "append" and keeps the state are plain; every
// other byte, and the line feed (which only the main read takes), ends a run (RunStops). Each
// state first moves the run of plain bytes ahead into the item's buffer in bulk (TakeRun, 16
// bytes a step), then reads the byte that ended it and acts on its row. As the run sets are
// derived from InputOf alone, the items and line numbers are those of reading one character
// at a time.
//
// Calls. Each FindNextItem call is one scan (ItemScan): the states are labels, a change of
// state a jump, and the state is stored only when the call returns. At the end of a block the
// scan stops where it is, the reader reads the next block, and a second scan goes on; the
// scan of the common call, within one block, calls no function.
#include "ZRTDcHtmlHandler.h"

#include <cstddef>
#include <new>
#include <utility>

#include "base/failures.h"
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

// A set of bytes: nonzero marks a byte that ends a run.
struct ByteSet {
  unsigned char marks[256];
  constexpr unsigned char operator[](unsigned char byte) const { return marks[byte]; }
};

// InputOf as tables: the rows, for the states' code, and the run sets that follow from them:
// every byte that is not plain ends a run, and so does the line feed. In one object, so that
// one address reaches them all.
struct Tables {
  Input rows[kConstructs][256];
  ByteSet stops[kConstructs];
};

constexpr Tables MakeTables() {
  Tables tables{};
  for (int construct = 0; construct < kConstructs; ++construct) {
    for (int c = 0; c < 256; ++c) {
      const Input input = InputOf(static_cast<Construct>(construct), c);
      tables.rows[construct][c] = input;
      tables.stops[construct].marks[c] = c == '\n' || input != Input::kPlain ? 1 : 0;
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();

// The row of byte c (0 to 255) for construct.
inline Input RowOf(Construct construct, int c) {
  // As unsigned, c indexes without a sign extension.
  return kTables.rows[static_cast<int>(construct)][static_cast<unsigned>(c)];
}

// The run set of a construct, as ByteCursor::TakeRun takes it.
template <Construct kConstruct>
struct RunStops {
  static constexpr const ByteSet& kTable = kTables.stops[static_cast<int>(kConstruct)];
};

}  // namespace

namespace zrtmask {

// How a scan of the block read so far ended.
enum class ScanOutcome {
  kFound,      // an item that the find mask asks for
  kEnd,        // the end of the input
  kNeedBlock,  // the end of the block: read the next one and scan on
};

// What an item that a block's end cut short has got to: its bytes in the buffer of the state
// it was read in.
struct ScanProgress {
  int length = 0;
};

// The scanning itself: reads on from where the scan stopped to the end of the next item that
// the find mask asks for, within the block read so far.
//
// The states are labels, and a change of state is a jump to the next state's label, so that a
// step costs no dispatch on a state kept in memory: which construct is being read is where the
// code is. The state is stored only when the scan stops (ScanState). The place in the block and
// the length of the buffer being filled are locals that the compiler keeps in registers; the
// scanner's fields would have to be read again after every byte stored into a buffer. The scan
// calls no function (it stops at the end of the block instead, see AcrossBlocks), so that no
// value has to be kept across a call.
class ItemScan {
  using State = ZRTDcHtmlHandler::ScanState;

 public:
  // The scan of a FindNextItem call within the block read so far; it empties the name buffer
  // first (the end of every item sets the value buffer). Where it needs the next block,
  // *progress holds what the item cut short has got to.
  [[gnu::always_inline]] static ScanOutcome First(ZRTDcHtmlHandler& scanner,
                                                   ScanProgress* progress) {
    ItemScan scan(scanner, ScanProgress{});
    scan.name_[0] = '\0';
    return scan.Find(progress);
  }
  // The rest of a FindNextItem call whose first scan needed the next block: reads blocks and
  // scans on. Returns FindNextItem's answer. Kept out of FindNextItem, so that the common
  // call, which stays within the block, calls no function.
  [[gnu::noinline]] static int AcrossBlocks(ZRTDcHtmlHandler& scanner, ScanProgress progress) {
    ScanOutcome outcome = ScanOutcome::kNeedBlock;
    while (outcome == ScanOutcome::kNeedBlock) {
      // At the end of the input the next scan finds so, in whatever state it is in.
      scanner._stream->Refill();
      outcome = ItemScan(scanner, progress).Find(&progress);
    }
    return Answer(scanner, outcome);
  }
  // FindNextItem's answer for a scan that found an item or met the end of the input.
  static int Answer(ZRTDcHtmlHandler& scanner, ScanOutcome outcome) {
    if (outcome == ScanOutcome::kFound) return 1;
    scanner._atEnd = 1;
    return 0;
  }

 private:
  ItemScan(ZRTDcHtmlHandler& scanner, const ScanProgress& progress)
      : cursor_(*scanner._stream),
        name_(scanner._name),
        value_(scanner._value),
        scanner_(scanner),
        length_(progress.length) {}
  ItemScan(const ItemScan&) = delete;
  ItemScan& operator=(const ItemScan&) = delete;

  [[gnu::always_inline]] ScanOutcome Find(ScanProgress* progress) {
    int c = 0;
    // Where the last scan stopped: tests in the order of how often each state comes up, as
    // the calls' states follow each other in patterns that tests (unlike a jump through a
    // table of places) are predicted by.
    {
      const State state = scanner_._state;
      if (state == State::kText) goto text;
      if (state == State::kElementName) goto element_name;
      if (state == State::kUnquotedValue) goto unquoted_value;
      if (state == State::kAttributeNameSkippingBlanks) goto attribute_name_skipping_blanks;
      if (state == State::kAttributeName) goto attribute_name;
      if (state == State::kValueBeforeEquals) goto value_before_equals;
      if (state == State::kComment) goto comment;
      // The rest come up only where the end of a block, or of the input, cut a scan short.
      switch (state) {
        case State::kDoubleQuotedValue: goto double_quoted_value;
        case State::kSingleQuotedValue: goto single_quoted_value;
        case State::kTextAfterLess: goto text_after_less;
        case State::kTextAfterLessBang: goto text_after_less_bang;
        case State::kTextAfterLessBangDash: goto text_after_less_bang_dash;
        case State::kCommentAfterDash: goto comment_after_dash;
        case State::kCommentAfterDashes: goto comment_after_dashes;
        case State::kDeclaration: goto declaration;
        default: goto text;  // the states tested above
      }
    }

  // kText: "<" opening a tag, a comment or a declaration; a text byte; another control byte.
  text:
    // One byte short of the limit: the byte that fills the buffer is appended below, which
    // hands the text out.
    Run<Construct::kText, true>(value_, kMaxValueLength - 1);
    c = Read();
    if (c < 0) return Stopped(c, State::kText, progress);
    switch (RowOf(Construct::kText, c)) {
      case Input::kLess:
        goto text_after_less;
      case Input::kPlain:
        goto text_byte;
      default:  // a control byte that is not a blank
        goto text;
    }
  text_byte:
    AppendToValue(c);  // never full here: a full text is handed out at once
    if (length_ < kMaxValueLength) goto text;
    // Over-long text goes out in pieces of the buffer's size, so that none of it is lost.
    EndValue();
    if (Report(ITEM_TEXT, State::kText)) return ScanOutcome::kFound;
    goto text;
  text_after_less:
    c = cursor_.Peek();
    // Blanks, "!" and the ends of the block and of the input all lie below or at "!": one
    // test settles the common case, a tag.
    if (c <= '!') {
      if (c == kEndOfBlock) return Stopped(c, State::kTextAfterLess, progress);
      if (IsBlank(c)) {  // a "<" before a blank is text
        c = '<';
        goto text_byte;
      }
      if (c == '!') goto text_after_less_bang_read;
    }
    if (EndText(State::kElementName)) return ScanOutcome::kFound;
    goto element_name;
  text_after_less_bang_read:
    cursor_.Get();
  text_after_less_bang:
    c = cursor_.Get();
    if (c == kEndOfBlock) return Stopped(c, State::kTextAfterLessBang, progress);
    if (c != '-') {
      // A declaration such as a document type vanishes; the text goes on after its ">".
      cursor_.Unget(c);
      goto declaration;
    }
  text_after_less_bang_dash:
    c = cursor_.Peek();
    if (c == kEndOfBlock) return Stopped(c, State::kTextAfterLessBangDash, progress);
    // In "<!--" the second "-" stays unread: it starts the comment body.
    if (c == '-') {
      if (EndText(State::kComment)) return ScanOutcome::kFound;
      goto comment;
    }
    cursor_.Unget('-');
    goto declaration;

  declaration:
    c = Read();
    // A call never returns within a declaration: at the end of the input it is text again.
    if (c < 0) return Stopped(c, c == kEndOfBlock ? State::kDeclaration : State::kText, progress);
    if (RowOf(Construct::kDeclaration, c) == Input::kGreater) goto text;
    goto declaration;

  // kElementName: a blank, "=", ">", anything else.
  element_name:
    TakeNameRun();
    c = Read();
    if (c < 0) return Stopped(c, State::kElementName, progress);
    switch (RowOf(Construct::kName, c)) {
      case Input::kBlank:
        EndName();
        if (Report(ITEM_TAG, State::kAttributeName)) return ScanOutcome::kFound;
        goto attribute_name;
      case Input::kEquals:
        EndName();  // the element name read so far is dropped
        goto element_name;
      case Input::kGreater:
        EndName();
        if (Report(ITEM_TAG, State::kText)) return ScanOutcome::kFound;
        goto text;
      default:  // plain: beyond the limit, or a byte the run's test could not tell from a stop
        AppendToName(c);
        goto element_name;
    }

  // kAttributeName while blanks are skipped: after a quoted value, or where an attribute
  // without a value ended at the first byte of the next name.
  attribute_name_skipping_blanks:
    // No longer skipping after a run.
    if (Run<Construct::kName, true>(name_, kMaxNameLength) > 0) goto attribute_name_read;
    c = Read();
    if (c < 0) return Stopped(c, State::kAttributeNameSkippingBlanks, progress);
    if (RowOf(Construct::kName, c) == Input::kBlank) goto attribute_name_skipping_blanks;
    goto attribute_name_byte;

  // kAttributeName: a blank, "=", ">", anything else.
  attribute_name:
    TakeNameRun();
  attribute_name_read:
    c = Read();
    if (c < 0) return Stopped(c, State::kAttributeName, progress);
  attribute_name_byte:
    switch (RowOf(Construct::kName, c)) {
      case Input::kBlank:
        EndName();
        if (Report(ITEM_ATTRIBUTE, State::kValueBeforeEquals)) return ScanOutcome::kFound;
        goto value_before_equals;
      case Input::kEquals:
        // The "=" is taken here rather than pushed back for the value state to read again:
        // the items are the same, with one step less per attribute.
        EndName();
        if (Report(ITEM_ATTRIBUTE, State::kUnquotedValue)) return ScanOutcome::kFound;
        goto unquoted_value;
      case Input::kGreater:
        EndName();
        if (Report(ITEM_ATTRIBUTE, State::kText)) return ScanOutcome::kFound;
        goto text;
      default:  // plain: beyond the limit, or a byte the run's test could not tell from a stop
        AppendToName(c);
        goto attribute_name;
    }

  // kAttributeValue before "=": ">", a blank, "=", anything else.
  value_before_equals:
    c = Read();
    if (c < 0) return Stopped(c, State::kValueBeforeEquals, progress);
    switch (RowOf(Construct::kValueBeforeEquals, c)) {
      case Input::kGreater:
        ClearValue();
        if (Report(ITEM_VALUE, State::kText)) return ScanOutcome::kFound;
        goto text;
      case Input::kEquals:
        goto unquoted_value;
      case Input::kOther:
        // An attribute without a value: c starts the next attribute name.
        ClearValue();
        cursor_.Unget(c);
        if (Report(ITEM_VALUE, State::kAttributeNameSkippingBlanks)) return ScanOutcome::kFound;
        goto attribute_name_skipping_blanks;
      default:  // a blank
        goto value_before_equals;
    }

  // kAttributeValue after "=", before any quote: a quote, ">", a blank, anything else.
  unquoted_value:
    // Most values are quoted: the quote right after "=" is taken before the run (its row opens
    // the quoted part, as below).
    static_assert(InputOf(Construct::kUnquotedValue, '"') == Input::kQuote, "a quote opens");
    if (cursor_.TakeIf('"')) goto double_quoted_value;
    Run<Construct::kUnquotedValue, true>(value_, kMaxValueLength);
    c = Read();
    if (c < 0) return Stopped(c, State::kUnquotedValue, progress);
    switch (RowOf(Construct::kUnquotedValue, c)) {
      case Input::kQuote:  // opens the quoted part
        if (c == '"') goto double_quoted_value;
        goto single_quoted_value;
      case Input::kGreater:
        EndValue();
        if (Report(ITEM_VALUE, State::kText)) return ScanOutcome::kFound;
        goto text;
      case Input::kBlank:
        if (length_ == 0) break;  // blanks between "=" and the value start the value
        EndValue();
        if (Report(ITEM_VALUE, State::kAttributeName)) return ScanOutcome::kFound;
        goto attribute_name;
      default:  // plain: beyond the limit, or a byte the run's test could not tell from a stop
        break;
    }
    AppendToValue(c);  // beyond the limit the value is cut and reading goes on
    goto unquoted_value;

  // kAttributeValue within quotes: the same quote again, anything else.
  double_quoted_value:
    Run<Construct::kDoubleQuotedValue>(value_, kMaxValueLength);
    c = Read();
    if (c < 0) return Stopped(c, State::kDoubleQuotedValue, progress);
    if (RowOf(Construct::kDoubleQuotedValue, c) == Input::kQuote) goto quoted_value_end;
    AppendToValue(c);
    goto double_quoted_value;

  single_quoted_value:
    Run<Construct::kSingleQuotedValue>(value_, kMaxValueLength);
    c = Read();
    if (c < 0) return Stopped(c, State::kSingleQuotedValue, progress);
    if (RowOf(Construct::kSingleQuotedValue, c) == Input::kQuote) goto quoted_value_end;
    AppendToValue(c);
    goto single_quoted_value;

  quoted_value_end:
    EndValue();
    if (Report(ITEM_VALUE, State::kAttributeNameSkippingBlanks)) return ScanOutcome::kFound;
    goto attribute_name_skipping_blanks;

  // kComment: "-" that may close the comment, anything else.
  comment:
    Run<Construct::kComment>(value_, kMaxValueLength);
    c = Read();
    if (c < 0) return Stopped(c, State::kComment, progress);
    AppendToValue(c);  // beyond the limit the body is cut and reading goes on
    if (RowOf(Construct::kComment, c) != Input::kDash) goto comment;
  comment_after_dash:
    c = cursor_.Get();
    if (c == kEndOfBlock) return Stopped(c, State::kCommentAfterDash, progress);
    if (c != '-') {
      cursor_.Unget(c);  // read again as the next character
      goto comment;
    }
  comment_after_dashes:
    c = cursor_.Peek();
    if (c == kEndOfBlock) return Stopped(c, State::kCommentAfterDashes, progress);
    if (c != '>') {
      cursor_.Unget('-');  // the second "-" is read again as the next character
      goto comment;
    }
    cursor_.Get();  // the ">"
    EndValue();
    if (Report(ITEM_COMMENT, State::kText)) return ScanOutcome::kFound;
    goto text;
  }

  // The main read: the next byte, counting line feeds; kEndOfInput or kEndOfBlock at the end.
  int Read() {
    const int c = cursor_.Get();
    if (c == '\n') ++scanner_._lineNb;
    return c;
  }

  // Appends the run of kConstruct ahead to buffer, which holds length_ bytes, up to limit
  // bytes in all. Returns how many it appended.
  // kOftenEmpty for runs that are mostly empty: text between two tags, a name after a quoted
  // value, an attribute value right after "=" (where a quote follows).
  template <Construct kConstruct, bool kOftenEmpty = false>
  int Run(char* buffer, int limit) {
    const int taken = cursor_.TakeRun<RunStops<kConstruct>, kOftenEmpty>(buffer, length_, limit);
    length_ += taken;
    return taken;
  }
  int TakeNameRun() { return Run<Construct::kName>(name_, kMaxNameLength); }

  // Ends the text at a "<" that opens a tag or a comment, going on in state next. The text
  // read so far is handed out (text before a comment too, rather than being dropped); empty
  // text never is. Returns true when it was handed out.
  bool EndText(State next) {
    const bool has_text = length_ > 0;
    EndValue();
    return has_text && Report(ITEM_TEXT, next);
  }
  // Ends the name: it stays in its buffer, and the value is emptied for the name's item.
  void EndName() {
    name_[length_] = '\0';
    ClearValue();
  }
  // Ends the value, text or comment body: it stays in its buffer.
  void EndValue() {
    value_[length_] = '\0';
    length_ = 0;
  }
  void ClearValue() {
    value_[0] = '\0';
    length_ = 0;
  }
  // Append c to the name or value buffer, storing nothing when it is full.
  // A byte beyond the limit is dropped, and the reader notes that an item was cut (a rewrite
  // must not write it back shorter).
  void AppendToName(int c) {
    if (length_ < kMaxNameLength) {
      name_[length_++] = static_cast<char>(c);
    } else {
      scanner_._stream->item_cut = true;
    }
  }
  void AppendToValue(int c) {
    if (length_ < kMaxValueLength) {
      value_[length_++] = static_cast<char>(c);
    } else {
      scanner_._stream->item_cut = true;
    }
  }

  // An item of type has ended and reading goes on in state next. Returns true, with the item
  // handed out, when type is in the find mask; false when reading goes on.
  bool Report(int type, State next) {
    if ((scanner_._findTypes & type) == 0) return false;
    scanner_._itemType = type;
    scanner_._state = next;
    return true;
  }
  // The end of the input (end is kEndOfInput) or of the block (kEndOfBlock) in state. At the
  // end of the input, whatever item was being read is lost; at the end of a block, it is kept
  // in *progress for the scan of the next block.
  ScanOutcome Stopped(int end, State state, ScanProgress* progress) {
    scanner_._state = state;
    if (end == kEndOfInput) {
      // The item cut short is lost, and the buffers mean nothing after the end: both are left
      // empty, rather than holding that item's bytes without an end (a run stores 16 bytes at
      // a time, and the block's tail behind the end is line feeds).
      name_[0] = '\0';
      value_[0] = '\0';
      return ScanOutcome::kEnd;
    }
    progress->length = length_;
    return ScanOutcome::kNeedBlock;
  }

  ByteCursor cursor_;
  char* const name_;
  char* const value_;
  ZRTDcHtmlHandler& scanner_;  // for the state, the line number and the item type
  // Bytes in the name buffer while a name is read, in the value buffer otherwise. As a name
  // ends before anything else is read into the value buffer, and the other way round, one
  // count serves both.
  int length_;
};

}  // namespace zrtmask

const int ZRTDcHtmlHandler::s_MaxNameSize = kNameBufferSize;
const int ZRTDcHtmlHandler::s_MaxValueSize = kValueBufferSize;

ZRTDcHtmlHandler::ZRTDcHtmlHandler()
    : _stream(nullptr),
      _atEnd(1),
      _lineNb(1),
      _findTypes(0),
      _itemType(0),
      _name(new (std::nothrow) char[kNameBufferSize]),
      _value(new (std::nothrow) char[kValueBufferSize]),
      _state(ScanState::kText) {
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
      _findTypes(other._findTypes),
      _itemType(other._itemType),
      _name(std::exchange(other._name, nullptr)),
      _value(std::exchange(other._value, nullptr)),
      _state(other._state) {}

ZRTDcHtmlHandler& ZRTDcHtmlHandler::operator=(ZRTDcHtmlHandler&& other) noexcept {
  if (this == &other) return *this;
  release();
  _stream = std::exchange(other._stream, nullptr);
  _atEnd = std::exchange(other._atEnd, 1);
  _lineNb = other._lineNb;
  _findTypes = other._findTypes;
  _itemType = other._itemType;
  _name = std::exchange(other._name, nullptr);
  _value = std::exchange(other._value, nullptr);
  _state = other._state;
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
  return zrtmask::ReadOpenFailureCode(path, zrtmask::kTemplateMissing,
                                      zrtmask::kTemplateUnreadable);
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
  zrtmask::ScanProgress progress;
  const zrtmask::ScanOutcome outcome = zrtmask::ItemScan::First(*this, &progress);
  if (outcome == zrtmask::ScanOutcome::kNeedBlock) {
    return zrtmask::ItemScan::AcrossBlocks(*this, progress);
  }
  return zrtmask::ItemScan::Answer(*this, outcome);
}

namespace zrtmask {

int ScanAccess::ReadError(const ZRTDcHtmlHandler& scanner) {
  return scanner._stream == nullptr ? 0 : scanner._stream->read_error();
}

bool ScanAccess::TakeItemCut(ZRTDcHtmlHandler& scanner) {
  if (scanner._stream == nullptr || !scanner._stream->item_cut) return false;
  scanner._stream->item_cut = false;
  return true;
}

}  // namespace zrtmask
