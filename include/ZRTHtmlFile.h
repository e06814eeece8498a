// A template file (a mask): queries on its marker elements and rewrites of its text.
// Every operation opens and closes its own files and returns a result code (zrtmask_result.h).
#ifndef ZRTMASK_INCLUDE_ZRTHTMLFILE_H_
#define ZRTMASK_INCLUDE_ZRTHTMLFILE_H_

#include <iosfwd>

#include "ZRTUnicodeString.h"
#include "zrtmask_export.h"

class ZRTHtmlFileTestPeer;

class ZRTMASK_EXPORT ZRTHtmlFile {
 public:
  // Token values of the marker tokenizer; the keyword values double as marker kinds.
  enum Tokens {
    TOKEN_LT = 0,        // "<"
    TOKEN_BLANK = 1,     // a space (code 32)
    TOKEN_GT = 2,        // ">"
    TOKEN_NEWLINE = 3,   // a line feed
    TOKEN_START = 4,     // the keyword QLXSTART
    TOKEN_OTHER = 5,     // anything else, a failed keyword, or the end of the input
    TOKEN_ANNOT = 6,     // the keyword QLXANNOT
    TOKEN_URL = 7,       // the keyword QLXURL
    TOKEN_DBACCESS = 8,  // the keyword QLXDBACCESS
    TOKEN_INDEX = 9      // the keyword QLXINDEX
  };

  // An object bound to no template: every operation returns 2 and touches no file.
  ZRTHtmlFile();
  // An object bound to the template at path. The string is not copied: it must outlive the
  // object. Seeds the C runtime's random generator with the time (as it always has; the
  // temporary names come from the kernel's random source).
  explicit ZRTHtmlFile(const char* path);
  ZRTHtmlFile(const ZRTHtmlFile& other) = default;
  // Copies the path and the other fields; nothing is owned.
  ZRTHtmlFile& operator=(const ZRTHtmlFile& other);
  ~ZRTHtmlFile();

  // Queries. Each returns 0 when the template was read to its end (found or not); 2 when it
  // does not exist, 1 when it cannot be read or is no regular file (a FIFO, a device, a
  // directory) or its lock was not had in 30 s, 15 when it cannot be opened otherwise or a read
  // fails part way. A copy back that a crash cut is finished first (see the README).
  // A null out-parameter is accepted: the answer is then not handed back.

  // The view name: the text of the title element inside the ZRTViewName element, with
  // "&lt;"/"&gt;" decoded. *name is left as it was when there is none.
  int GetZRTViewName(ZRTUnicodeString* name);
  // The content of the element tagName (exact name): its text, "BR"/"br" as line feeds.
  // *content is emptied first.
  int GetZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString* content);
  // The path attribute of the SYS element inside the ZRTPath element; the last one wins.
  // *path is left as it was when there is none.
  int GetZRTPath(ZRTUnicodeString* path);
  // Appends the name of every element whose name begins with "ZRT", in document order.
  int GetAllZRTTag(ZRTListValZRTUnicodeString* tags);

  // Rewrites. Each writes the new text to a temporary file in "c:/temp/" (CopyMaskFile: when
  // the directory is there) and copies it back over the template, through the one descriptor
  // the template was opened with; a failure after that file was created leaves it there (except
  // 10 and 12). On failure the template is unchanged, except when a write into it fails part
  // way (9 or 15): the temporary file then holds the new text, and the next access finishes the
  // copy. An item rewrite that would cut an item longer than the scanner's buffers returns 12.
  // Codes: zrtmask_result.h.

  // Replaces the template's text with the bytes of the mask file (creating the template when
  // absent); 0 and no change when the mask is the template. 22 when the mask does not exist,
  // 21 when it cannot be read, 8 when the template is not writable, 9 when its disk is full,
  // 15 otherwise (the mask cannot be read to its end, say). Needs no temporary directory.
  int CopyMaskFile(const char* maskPath);
  // Inserts value (UTF-8, on a line of its own) after the first processing marker of the kind.
  int SetZRTStart(ZRTUnicodeString value);
  int SetZRTAnnotations(ZRTUnicodeString value);
  int SetZRTURL(ZRTUnicodeString value);
  int SetZRTDBAccess(ZRTUnicodeString value);
  // Replaces the title text inside the ZRTViewName element; "<" and ">" are escaped.
  int SetZRTViewName(ZRTUnicodeString name);
  // Fills every region tagName ... /tagName with content: "<" and ">" escaped, line feeds as
  // "<BR>"; the two marker elements become comments.
  int SetZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString content);
  // As SetZRTTagContent, but text is written as it is, and no "<BR>" precedes the closing
  // comment.
  int dumpZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString text);
  // Sets src, width and height of the image element inside the ZRTImage region; the region's
  // marker elements become comments.
  int SetZRTImageName(ZRTUnicodeString imageName, int width, int height);

 private:
  friend class ::ZRTHtmlFileTestPeer;

  // Marker tokenizer: reads one token from _inStream, echoing every byte read to _outStream.
  Tokens getNextToken();
  Tokens getNextTokenSTART();
  Tokens getNextTokenANNOT();
  Tokens getNextTokenURL();
  Tokens getNextTokenDB();
  Tokens getNextTokenINDEX();
  // Reads one character with the echo rule (a CR LF pair reads, and echoes, as one LF).
  // Returns the character (0-255), or -1 at the end of the input.
  int readTokenChar();
  // Reads the suffix of the keyword of kind after the prefix. Returns kind when it is complete,
  // TOKEN_OTHER at the first character that does not fit (consumed) or at the end of the input.
  Tokens matchSuffix(Tokens kind);

  // Inserts value after the first processing marker of kind; the marker rewrite cycle.
  int setZRTToken(ZRTUnicodeString value, Tokens kind);
  // 5 when the disk holding path has no byte free for the caller (or cannot be asked), else 0.
  int isDiskFull(const char* path);

  std::istream* _inStream;   // borrowed during a marker rewrite
  std::ostream* _outStream;  // borrowed during a marker rewrite
  Tokens _tokenKind;         // marker kind of the last marker rewrite
  const char* _path;         // not owned
};

#endif  // ZRTMASK_INCLUDE_ZRTHTMLFILE_H_
