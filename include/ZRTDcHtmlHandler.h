// The HTML item scanner: reads a file once, from start to end, and hands it out item by item
// (element names, attribute names, attribute values, text and comments) with line numbers.
#ifndef ZRTMASK_INCLUDE_ZRTDCHTMLHANDLER_H_
#define ZRTMASK_INCLUDE_ZRTDCHTMLHANDLER_H_

#include "zrtmask_export.h"

namespace zrtmask {
class ByteReader;
class ItemScan;
class ScanAccess;
}  // namespace zrtmask

// Item types: single bits, combined into the mask given to SetFindTypes.
constexpr int ITEM_TAG = 1;        // an element name as written after "<" ("/p" for a closing tag)
constexpr int ITEM_ATTRIBUTE = 2;  // an attribute name inside a tag
constexpr int ITEM_TEXT = 4;       // a stretch of text between tags
constexpr int ITEM_COMMENT = 8;    // the body of a comment
constexpr int ITEM_VALUE = 32;     // an attribute value (empty for an attribute without one)

class ZRTMASK_EXPORT ZRTDcHtmlHandler {
 public:
  // Size of the name buffer: a name holds at most 255 bytes and its terminating zero.
  static const int s_MaxNameSize;
  // Size of the value buffer: a value holds at most 524287 bytes and its terminating zero.
  static const int s_MaxValueSize;

  // A scanner with no file, empty buffers, line 1, item type 0 and an empty find mask.
  ZRTDcHtmlHandler();
  // Not copyable: a copy would share the file and the buffers.
  ZRTDcHtmlHandler(const ZRTDcHtmlHandler&) = delete;
  ZRTDcHtmlHandler& operator=(const ZRTDcHtmlHandler&) = delete;
  // Moving hands the file and the buffers over; the source is left with neither (its OpenFile
  // answers 15, its FindNextItem 0) and is fit only to be assigned to or destroyed.
  ZRTDcHtmlHandler(ZRTDcHtmlHandler&& other) noexcept;
  ZRTDcHtmlHandler& operator=(ZRTDcHtmlHandler&& other) noexcept;
  // Closes the file, if any, and frees both buffers.
  virtual ~ZRTDcHtmlHandler();

  // Chooses the item types that FindNextItem reports (a mask of ITEM_* bits).
  void SetFindTypes(int types);
  // Opens path for scanning. Returns 0; 2 when the file does not exist, 1 when it cannot be
  // read, 15 when it cannot be opened for another reason (a directory, say).
  int OpenFile(const char* path);
  // Reads on to the next item of a requested type. Returns 1 when one was found (see the
  // accessors), 0 at the end of the input or when no file is open.
  int FindNextItem();
  // Type of the item last found (an ITEM_* value), 0 before the first.
  int GetItemType() const;
  // The name buffer (element or attribute name), owned by the scanner, valid until the next
  // FindNextItem.
  char* GetItemName() const;
  // The value buffer (text, comment body or attribute value), owned by the scanner, valid
  // until the next FindNextItem.
  char* GetItemValue() const;
  // Line of the character that completed the last item: 1 plus the line feeds read so far.
  int GetCurrentLineNb();

 private:
  friend class zrtmask::ItemScan;  // the scanning itself, one FindNextItem call at a time
  friend class zrtmask::ScanAccess;

  // Where reading goes on: the state of the item rules, with what a name or an attribute value
  // has got to (blanks before a name being skipped; before the "=", unquoted or within quotes).
  // The states after "<", "<!", "<!-", "-" and "--", and within a "<!" declaration, are where a
  // call waits for the next block when it must look ahead past the end of one, or is skipping
  // a declaration; a call never returns in them.
  enum class ScanState : unsigned char {
    kText,
    kElementName,
    kAttributeName,
    kAttributeNameSkippingBlanks,
    kValueBeforeEquals,
    kUnquotedValue,
    kDoubleQuotedValue,
    kSingleQuotedValue,
    kComment,
    kTextAfterLess,
    kTextAfterLessBang,
    kTextAfterLessBangDash,
    kCommentAfterDash,
    kCommentAfterDashes,
    kDeclaration,
  };

  // Closes the file and frees the buffers.
  void release();

  zrtmask::ByteReader* _stream;  // the file being scanned; owned
  int _atEnd;                    // 1 before OpenFile and once the end has been met
  int _lineNb;                   // 1 plus the line feeds read so far
  int _findTypes;                // the mask given to SetFindTypes
  int _itemType;                 // type of the item last reported
  char* _name;                   // owned, s_MaxNameSize bytes
  char* _value;                  // owned, s_MaxValueSize bytes
  ScanState _state;              // text at first
};

#endif  // ZRTMASK_INCLUDE_ZRTDCHTMLHANDLER_H_
