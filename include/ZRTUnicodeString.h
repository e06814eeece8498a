// The text type of the interface, and a list of texts.
// The 8-bit form is UTF-8; bytes that are not valid UTF-8 are kept as characters of their own,
// so any byte string survives a round trip unchanged.
#ifndef ZRTMASK_INCLUDE_ZRTUNICODESTRING_H_
#define ZRTMASK_INCLUDE_ZRTUNICODESTRING_H_

#include <string>
#include <vector>

#include "zrtmask_export.h"

// How SearchSubString compares. Every mode compares exactly, byte for byte.
enum ZRTSearchMode : int { ZRT_SEARCH_EXACT = 1 };

class ZRTMASK_EXPORT ZRTUnicodeString {
 public:
  // An empty string.
  ZRTUnicodeString();
  // The zero-terminated 8-bit text; null gives an empty string.
  ZRTUnicodeString(const char* text);  // NOLINT(google-explicit-constructor): legacy interface
  // Exactly the first count bytes of text, zero bytes included (ConvertToChar then shows only
  // the text before the first zero; ConvertToUTF8 gives all of it); null gives an empty string.
  ZRTUnicodeString(const char* text, unsigned int count);
  ZRTUnicodeString(const ZRTUnicodeString& other);
  ZRTUnicodeString(ZRTUnicodeString&& other) noexcept;
  ~ZRTUnicodeString();

  ZRTUnicodeString& operator=(const char* text);
  ZRTUnicodeString& operator=(const ZRTUnicodeString& other);
  ZRTUnicodeString& operator=(ZRTUnicodeString&& other) noexcept;

  // Adds other at the end. Returns this string.
  ZRTUnicodeString& Append(const ZRTUnicodeString& other);
  // Replaces the text by number printed with format (a printf format for one int, "%d").
  // Returns 0, or -1 (text unchanged) for a null format or one with more than one conversion or
  // any conversion other than d, i, o, u, x, X (with flags, width and precision only).
  int BuildFromNum(int number, const char* format);
  // Position in characters of the first occurrence of pattern at or after the character
  // position start (a negative start counts as 0); -1 when there is none or pattern is empty.
  // A match must begin on a character, not inside a multi-byte one. Linear in the length.
  int SearchSubString(const ZRTUnicodeString& pattern, int start, ZRTSearchMode mode) const;
  // Replaces the first occurrence of old_text by new_text. Returns 0, or -1 when not found.
  int ReplaceSubString(const ZRTUnicodeString& old_text, const ZRTUnicodeString& new_text);
  // Deletes count characters from the character position start; out-of-range parts are ignored.
  void Remove(int start, int count);
  // Number of characters (code points; a byte that is not valid UTF-8 counts as one).
  int GetLengthInChar() const;
  // Empties the string.
  void Reset();
  // The zero-terminated 8-bit text, valid while this string is not changed.
  const char* ConvertToChar() const;
  operator char const*() const;  // NOLINT(google-explicit-constructor): legacy interface
  // Writes the UTF-8 form into buffer (no terminating zero) and its byte count into *length.
  // GetLengthInChar() * 4 bytes always suffice. A null buffer writes nothing and sets *length to 0.
  void ConvertToUTF8(char* buffer, unsigned int* length) const;

 private:
  std::string _bytes;
};

// A list of strings, in the order they were appended.
class ZRTMASK_EXPORT ZRTListValZRTUnicodeString {
 public:
  using const_iterator = std::vector<ZRTUnicodeString>::const_iterator;

  // Adds a copy of text at the end.
  void Append(const ZRTUnicodeString& text);
  // Number of entries.
  int GetCount() const;
  // Entry index (0-based); index must be below GetCount().
  const ZRTUnicodeString& operator[](int index) const;
  const_iterator begin() const;
  const_iterator end() const;

 private:
  std::vector<ZRTUnicodeString> _items;
};

#endif  // ZRTMASK_INCLUDE_ZRTUNICODESTRING_H_
