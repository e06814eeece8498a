// Marker harness: a value inserted after a processing marker of an arbitrary template. The
// template's bytes before and after the inserted value must be the old ones, and the value must
// follow a complete marker of its kind.
//
// Input: the first byte chooses the kind (start, annotations, URL, database access); then comes
// the value, ended by '|', and the rest is the template.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "fuzz/fuzz_support.h"

namespace {

using zrtmask::fuzz::Require;

const char* const kTemplatePath = "t.html";

using Setter = int (ZRTHtmlFile::*)(ZRTUnicodeString);

struct Kind {
  Setter setter;
  const char* keyword;
};

constexpr Kind kKinds[] = {
    {&ZRTHtmlFile::SetZRTStart, "QLXSTART"},
    {&ZRTHtmlFile::SetZRTAnnotations, "QLXANNOT"},
    {&ZRTHtmlFile::SetZRTURL, "QLXURL"},
    {&ZRTHtmlFile::SetZRTDBAccess, "QLXDBACCESS"},
};

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsMarkerBlank(char c) { return c == ' ' || c == '\n'; }

// Drops a "Q" or "QL" (either case) from the end of text: the start of a keyword prefix, which
// a following "<", space, line feed or ">" abandons without ending the marker.
void DropPartialPrefix(std::string_view& text) {
  if (text.size() >= 2 && ToUpperAscii(text[text.size() - 2]) == 'Q' &&
      ToUpperAscii(text.back()) == 'L') {
    text.remove_suffix(2);
  } else if (!text.empty() && ToUpperAscii(text.back()) == 'Q') {
    text.remove_suffix(1);
  }
}

// Drops what may stand between the keyword and an angle bracket: spaces and line feeds, each
// possibly after an abandoned prefix.
void DropMarkerBlanks(std::string_view& text) {
  while (!text.empty() && IsMarkerBlank(text.back())) {
    text.remove_suffix(1);
    DropPartialPrefix(text);
  }
}

// True when text ends with a marker of keyword: "<", spaces and line feeds, the keyword in any
// case, spaces and line feeds, ">". Where a space, a line feed or the ">" may stand, an
// abandoned "Q" or "QL" may come before it.
bool EndsWithMarker(std::string_view text, std::string_view keyword) {
  if (text.empty() || text.back() != '>') return false;
  text.remove_suffix(1);
  DropPartialPrefix(text);
  DropMarkerBlanks(text);
  if (text.size() < keyword.size()) return false;
  const std::string_view word = text.substr(text.size() - keyword.size());
  for (std::size_t index = 0; index < keyword.size(); ++index) {
    if (ToUpperAscii(word[index]) != keyword[index]) return false;
  }
  text.remove_suffix(keyword.size());
  DropMarkerBlanks(text);
  return !text.empty() && text.back() == '<';
}

std::string WithoutCr(std::string_view text) {
  std::string kept;
  for (char byte : text) {
    if (byte != '\r') kept += byte;
  }
  return kept;
}

// Checks that after is before, or before with inserted placed right after a marker of keyword.
void CheckInsertion(const std::string& before, const std::string& after,
                    const std::string& inserted, std::string_view keyword) {
  if (after == before) return;
  Require(after.size() == before.size() + inserted.size(),
          "the template changed by more than the inserted value");
  std::size_t common_prefix = 0;
  while (common_prefix < before.size() && before[common_prefix] == after[common_prefix]) {
    ++common_prefix;
  }
  std::size_t common_suffix = 0;
  while (common_suffix < before.size() &&
         before[before.size() - 1 - common_suffix] == after[after.size() - 1 - common_suffix]) {
    ++common_suffix;
  }
  // Any split point between the two common parts at which the value stands will do.
  const std::size_t lowest = before.size() - common_suffix;
  for (std::size_t split = lowest; split <= common_prefix; ++split) {
    if (after.compare(split, inserted.size(), inserted) == 0 &&
        EndsWithMarker(std::string_view(before).substr(0, split), keyword)) {
      return;
    }
  }
  Require(false, "the value is not inserted whole right after a marker of its kind");
}

int Insert(const Kind& kind, const std::string& value, const std::string& template_bytes,
           std::string* after) {
  zrtmask::fuzz::WriteBytes(kTemplatePath, template_bytes);
  ZRTHtmlFile file(kTemplatePath);
  const int code = (file.*kind.setter)(ZRTUnicodeString(value.c_str()));
  *after = zrtmask::fuzz::ReadBytes(kTemplatePath);
  Require(zrtmask::fuzz::CountTempFiles() == 0, "a marker rewrite left a temporary file");
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zrtmask::fuzz::ScratchDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const zrtmask::fuzz::InScratchDirectory in_scratch;
  const Kind& kind = kKinds[data[0] % (sizeof kKinds / sizeof kKinds[0])];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t end = rest.find('|');
  if (end == std::string_view::npos) return 0;
  // The value is passed as a zero-terminated string: it ends at its first zero byte.
  const std::string value(rest.substr(0, end).substr(0, rest.substr(0, end).find('\0')));
  const std::string template_bytes(rest.substr(end + 1));
  const std::string inserted = "\n" + value + "\n";

  std::string after;
  Require(Insert(kind, value, template_bytes, &after) == 0,
          "a marker rewrite of a readable template failed");
  const bool has_cr =
      template_bytes.find('\r') != std::string::npos || value.find('\r') != std::string::npos;
  if (!has_cr) {
    CheckInsertion(template_bytes, after, inserted, kind.keyword);
  } else {
    // Line ends follow the template's first one, so a template that mixes them comes back with
    // one kind only: compare without the CRs.
    CheckInsertion(WithoutCr(template_bytes), WithoutCr(after), WithoutCr(inserted), kind.keyword);
    return 0;
  }

  // The CR LF form of the template gives the CR LF form of the result.
  if (template_bytes.find('\n') == std::string::npos) return 0;
  std::string crlf_after;
  Require(Insert(kind, value, zrtmask::fuzz::WithCrLf(template_bytes), &crlf_after) == 0,
          "a marker rewrite of a CR LF template failed");
  Require(crlf_after == zrtmask::fuzz::WithCrLf(after),
          "the CR LF form of a template did not give the CR LF form of the result");
  return 0;
}
