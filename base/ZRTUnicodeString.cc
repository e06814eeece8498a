// The string and string-list classes. Text is held as its UTF-8 bytes; positions and lengths are
// counted in characters, where a valid UTF-8 sequence is one character and every byte that is not
// part of one is a character of its own, so that any byte string round-trips unchanged.
#include "ZRTUnicodeString.h"

#include <cassert>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length in bytes of the valid UTF-8 sequence starting at bytes[pos], or 1 when the byte there
// does not start one (a stray continuation byte, a bad lead byte, a truncated or overlong
// sequence, a surrogate or a code point above U+10FFFF).
std::size_t SequenceLength(const std::string& bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // below: overlong
    if (lead == 0xED) second_max = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // below: overlong
    if (lead == 0xF4) second_max = 0x8F;  // above: beyond U+10FFFF
  } else {
    return 1;
  }
  if (bytes.size() - pos < length) return 1;
  const auto second = static_cast<unsigned char>(bytes[pos + 1]);
  if (second < second_min || second > second_max) return 1;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuationByte(static_cast<unsigned char>(bytes[pos + i]))) return 1;
  }
  return length;
}

// Number of characters in bytes[begin, end); begin must be a character boundary.
std::size_t CountChars(const std::string& bytes, std::size_t begin, std::size_t end) {
  std::size_t count = 0;
  for (std::size_t pos = begin; pos < end; pos += SequenceLength(bytes, pos)) ++count;
  return count;
}

// Byte offset of the character position chars counted from the boundary begin; bytes.size()
// when the text has fewer characters.
std::size_t AdvanceChars(const std::string& bytes, std::size_t begin, std::size_t chars) {
  std::size_t pos = begin;
  while (chars > 0 && pos < bytes.size()) {
    pos += SequenceLength(bytes, pos);
    --chars;
  }
  return pos;
}

// True when pos starts a character, that is, does not lie inside a valid multi-byte sequence.
// Only a lead byte up to three bytes back can start a sequence reaching pos, and a lead byte is
// always a character start, so looking back three bytes decides it.
bool IsCharBoundary(const std::string& bytes, std::size_t pos) {
  if (pos >= bytes.size() || !IsContinuationByte(static_cast<unsigned char>(bytes[pos]))) {
    return true;
  }
  for (std::size_t back = 1; back <= 3 && back <= pos; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[pos - back]);
    if (IsContinuationByte(byte)) continue;
    return SequenceLength(bytes, pos - back) <= back;
  }
  return true;
}

// Byte offset of the first occurrence of pattern at or after the boundary from that starts on a
// character boundary, or npos. A match that begins inside a multi-byte character is not one.
std::size_t FindOnBoundary(const std::string& bytes, const std::string& pattern, std::size_t from) {
  if (pattern.empty()) return std::string::npos;
  std::size_t found = bytes.find(pattern, from);
  while (found != std::string::npos && !IsCharBoundary(bytes, found)) {
    found = bytes.find(pattern, found + 1);
  }
  return found;
}

// True when format holds literal text, "%%" and at most one conversion of an int (flags, width
// and precision as digits; d, i, o, u, x or X). Anything else, such as "%s" or a second
// conversion, would make snprintf read arguments that are not there.
bool IsIntFormat(const char* format) {
  int conversions = 0;
  for (const char* cursor = format; *cursor != '\0'; ++cursor) {
    if (*cursor != '%') continue;
    ++cursor;
    if (*cursor == '%') continue;
    while (*cursor != '\0' && std::strchr("-+ #0", *cursor) != nullptr) ++cursor;
    while (*cursor >= '0' && *cursor <= '9') ++cursor;
    if (*cursor == '.') {
      ++cursor;
      while (*cursor >= '0' && *cursor <= '9') ++cursor;
    }
    if (*cursor == '\0' || std::strchr("diouxX", *cursor) == nullptr) return false;
    ++conversions;
  }
  return conversions <= 1;
}

int ClampToInt(std::size_t value) {
  return value > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

}  // namespace

ZRTUnicodeString::ZRTUnicodeString() = default;

ZRTUnicodeString::ZRTUnicodeString(const char* text) {
  if (text != nullptr) _bytes = text;
}

ZRTUnicodeString::ZRTUnicodeString(const char* text, unsigned int count) {
  if (text != nullptr) _bytes.assign(text, count);
}

ZRTUnicodeString::ZRTUnicodeString(const ZRTUnicodeString& other) = default;

ZRTUnicodeString::ZRTUnicodeString(ZRTUnicodeString&& other) noexcept
    : _bytes(std::move(other._bytes)) {
  other._bytes.clear();
}

ZRTUnicodeString::~ZRTUnicodeString() = default;

ZRTUnicodeString& ZRTUnicodeString::operator=(const char* text) {
  if (text == nullptr) {
    _bytes.clear();
  } else {
    _bytes = text;
  }
  return *this;
}

ZRTUnicodeString& ZRTUnicodeString::operator=(const ZRTUnicodeString& other) = default;

ZRTUnicodeString& ZRTUnicodeString::operator=(ZRTUnicodeString&& other) noexcept {
  if (this != &other) {
    _bytes = std::move(other._bytes);
    other._bytes.clear();
  }
  return *this;
}

ZRTUnicodeString& ZRTUnicodeString::Append(const ZRTUnicodeString& other) {
  _bytes.append(other._bytes);
  return *this;
}

int ZRTUnicodeString::BuildFromNum(int number, const char* format) {
  if (format == nullptr || !IsIntFormat(format)) return -1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  // The format was checked above to take exactly one int.
  const int length = std::snprintf(nullptr, 0, format, number);
  if (length < 0) return -1;
  std::string printed(static_cast<std::size_t>(length) + 1, '\0');
  if (std::snprintf(&printed[0], printed.size(), format, number) != length) return -1;
#pragma GCC diagnostic pop
  printed.resize(static_cast<std::size_t>(length));
  _bytes = std::move(printed);
  return 0;
}

int ZRTUnicodeString::SearchSubString(const ZRTUnicodeString& pattern, int start,
                                      ZRTSearchMode /*mode*/) const {
  // A negative start searches from the beginning.
  const std::size_t start_chars = start > 0 ? static_cast<std::size_t>(start) : 0;
  // A start beyond the end gives from == size(), where nothing is found.
  const std::size_t from = AdvanceChars(_bytes, 0, start_chars);
  const std::size_t found = FindOnBoundary(_bytes, pattern._bytes, from);
  if (found == std::string::npos) return -1;
  return ClampToInt(start_chars + CountChars(_bytes, from, found));
}

int ZRTUnicodeString::ReplaceSubString(const ZRTUnicodeString& old_text,
                                       const ZRTUnicodeString& new_text) {
  const std::size_t found = FindOnBoundary(_bytes, old_text._bytes, 0);
  if (found == std::string::npos) return -1;
  _bytes.replace(found, old_text._bytes.size(), new_text._bytes);
  return 0;
}

void ZRTUnicodeString::Remove(int start, int count) {
  if (start < 0 || count <= 0) return;
  const std::size_t begin = AdvanceChars(_bytes, 0, static_cast<std::size_t>(start));
  if (begin >= _bytes.size()) return;
  const std::size_t end = AdvanceChars(_bytes, begin, static_cast<std::size_t>(count));
  _bytes.erase(begin, end - begin);
}

int ZRTUnicodeString::GetLengthInChar() const {
  return ClampToInt(CountChars(_bytes, 0, _bytes.size()));
}

void ZRTUnicodeString::Reset() { _bytes.clear(); }

const char* ZRTUnicodeString::ConvertToChar() const { return _bytes.c_str(); }

ZRTUnicodeString::operator char const*() const { return _bytes.c_str(); }

void ZRTUnicodeString::ConvertToUTF8(char* buffer, unsigned int* length) const {
  if (length == nullptr) return;
  if (buffer == nullptr) {
    *length = 0;
    return;
  }
  // Each character takes at most four bytes, so the caller's GetLengthInChar() * 4 suffices.
  if (!_bytes.empty()) std::memcpy(buffer, _bytes.data(), _bytes.size());
  *length = static_cast<unsigned int>(_bytes.size());
}

void ZRTListValZRTUnicodeString::Append(const ZRTUnicodeString& text) { _items.push_back(text); }

int ZRTListValZRTUnicodeString::GetCount() const { return ClampToInt(_items.size()); }

const ZRTUnicodeString& ZRTListValZRTUnicodeString::operator[](int index) const {
  assert(index >= 0 && index < GetCount());
  return _items[static_cast<std::size_t>(index)];
}

ZRTListValZRTUnicodeString::const_iterator ZRTListValZRTUnicodeString::begin() const {
  return _items.begin();
}

ZRTListValZRTUnicodeString::const_iterator ZRTListValZRTUnicodeString::end() const {
  return _items.end();
}
