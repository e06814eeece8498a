// A mask's outline: one scan with the library's scanner over the mask's bytes, following the
// rules of the queries and rewrites, with the byte ranges of every part that a render fills.
// Processing markers are found by the marker setters' own rules, over the bytes.
#include "template/outline.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "ZRTDcHtmlHandler.h"
#include "base/failures.h"
#include "scanner/scan_access.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// Items the outline asks for: element names and comments, and within the elements it follows
// (to their ">") attributes and values too. Every item asked for costs a return from the
// scanner, and most elements and all text need none.
constexpr int kQuickTypes = ITEM_TAG | ITEM_COMMENT;
constexpr int kDetailTypes = ITEM_TAG | ITEM_ATTRIBUTE | ITEM_VALUE | ITEM_COMMENT;

// The scanner's blanks (the C locale's white space).
constexpr bool IsBlank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool IsQuote(int c) { return c == '"' || c == '\''; }

bool IsTitle(std::string_view name) { return name == "title" || name == "TITLE"; }
bool IsClosingTitle(std::string_view name) { return name == "/title" || name == "/TITLE"; }
bool IsImage(std::string_view name) { return name == "IMG" || name == "img"; }
bool IsImageAttribute(std::string_view name) {
  return name == "SRC" || name == "src" || name == "WIDTH" || name == "width" || name == "HEIGHT" ||
         name == "height";
}

// The "<" of the element whose name the scanner ended at name_end (at a blank or ">"). In the
// element-name state nothing but a blank or ">" leaves it, and the state is entered only at a
// "<" read as text, so the element starts at the first "<" of the run of other bytes before
// name_end (the name may follow other bytes and "=", which drops what came before it).
std::size_t ElementStart(std::string_view mask, std::size_t name_end) {
  std::size_t at = name_end;
  while (at > 0 && !IsBlank(static_cast<unsigned char>(mask[at - 1])) && mask[at - 1] != '>') {
    --at;
  }
  return std::min(mask.find('<', at), name_end);
}

// Sets each *line to the line of its offset in mask, counting line feeds once from the start.
void AssignLines(std::string_view mask, std::vector<std::pair<std::size_t, int*>> requests) {
  std::sort(requests.begin(), requests.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t counted_to = 0;
  int line = 1;
  for (const auto& [offset, target] : requests) {
    const std::size_t until = std::min(offset, mask.size());
    while (counted_to < until) {
      const void* found = std::memchr(mask.data() + counted_to, '\n', until - counted_to);
      if (found == nullptr) break;
      ++line;
      counted_to = static_cast<std::size_t>(static_cast<const char*>(found) - mask.data()) + 1;
    }
    *target = line;
  }
}

// The element being read: what it is to the outline, and where its ">" lands.
enum class Element { kOther, kRegionOpening, kRegionClosing, kTitle, kClosingTitle, kImage, kSys };

class OutlineBuilder {
 public:
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

  OutlineBuilder(std::string_view mask, const std::vector<std::string>& region_names,
                 Outline* outline)
      : mask_(mask), region_names_(region_names), outline_(*outline) {
    for (std::string_view start : {"ZR", "ti", "TI", "IM", "im", "SY"}) AddStart(start);
    for (const std::string& name : region_names_) AddStart(name);
  }

  int Run() {
    ZRTDcHtmlHandler scanner;
    scanner.SetFindTypes(kQuickTypes);
    const int code = ScanAccess::OpenBytes(scanner, mask_.data(), mask_.size());
    if (code != kOk) return code;
    while (scanner.FindNextItem() == 1) {
      switch (scanner.GetItemType()) {
        case ITEM_TAG: {
          // Most elements are none of ours: their first byte tells, before their length is
          // taken.
          const char* name = scanner.GetItemName();
          if (!MayBeOurs(name[0] == '/' ? name + 1 : name)) break;
          name_end_ = ScanAccess::Offset(scanner, 1);
          OnTag(name);
          if (element_ != Element::kOther) scanner.SetFindTypes(kDetailTypes);
          break;
        }
        case ITEM_ATTRIBUTE:
          attribute_name_ = scanner.GetItemName();
          attribute_end_ = ScanAccess::Offset(scanner, 1);
          break;
        case ITEM_VALUE:
          OnValue(scanner);
          break;
        case ITEM_COMMENT: {
          // Only a body "-" name "-" can be a filled region's comment: most comments start
          // with a blank and are passed over before their length is taken.
          const char* body = scanner.GetItemValue();
          if (body[0] == '-' && body[1] != '\0' && body[1] != '-' &&
              !IsBlank(static_cast<unsigned char>(body[1]))) {
            OnComment(body, ScanAccess::Offset(scanner));
          }
          break;
        }
        default:
          break;
      }
      if (element_ != Element::kOther && ScanAccess::InText(scanner)) {
        EndElement(ScanAccess::Offset(scanner));
        scanner.SetFindTypes(kQuickTypes);
      }
    }
    // An element cut off by the end of the mask runs to the end.
    if (element_ != Element::kOther) EndElement(mask_.size());
    for (const auto& [name, index] : open_regions_) {
      OutlineRegion& region = outline_.regions[index];
      region.content.end = mask_.size();
      region.closing = {mask_.size(), mask_.size()};
    }
    if (title_open_) outline_.titles.back().text.end = mask_.size();
    return kOk;
  }

  // Fills in the line of every part found (and of the markers added since Run).
  void AddLines() {
    std::vector<std::pair<std::size_t, int*>> requests;
    for (OutlineRegion& region : outline_.regions)
      requests.push_back({region.opening.begin, &region.line});
    for (std::size_t i = 0; i < outline_.titles.size(); ++i) {
      requests.push_back({title_starts_[i], &outline_.titles[i].line});
    }
    for (OutlineImage& image : outline_.images)
      requests.push_back({image.element.begin, &image.line});
    for (OutlineFilled& filled : outline_.filled)
      requests.push_back({filled.range.begin, &filled.line});
    for (OutlineMarker& marker : outline_.markers)
      requests.push_back({marker.marker.begin, &marker.line});
    if (outline_.path.found) requests.push_back({path_end_, &outline_.path.line});
    AssignLines(mask_, std::move(requests));
  }

 private:
  static unsigned StartOf(const char* name) {
    const unsigned first = static_cast<unsigned char>(name[0]);
    return first == 0 ? 0 : first << 8 | static_cast<unsigned char>(name[1]);
  }
  void AddStart(std::string_view name) {
    if (name.empty()) return;
    may_start_[static_cast<unsigned char>(name[0])] = true;
    starts_.push_back(StartOf(std::string(name).c_str()));
  }
  // False for every element name that OnTag surely has nothing to do with.
  bool MayBeOurs(const char* name) const {
    if (!may_start_[static_cast<unsigned char>(name[0])]) return false;
    return std::find(starts_.begin(), starts_.end(), StartOf(name)) != starts_.end();
  }

  bool IsRegionName(std::string_view name) const {
    if (name.size() >= 3 && name.compare(0, 3, "ZRT") == 0) return true;
    return std::find(region_names_.begin(), region_names_.end(), name) != region_names_.end();
  }

  // The index in outline_.regions of the open region of name, or kUnknown.
  std::size_t OpenRegion(std::string_view name) const {
    if (open_regions_.empty()) return kUnknown;
    const auto found = open_regions_.find(std::string(name));
    return found == open_regions_.end() ? kUnknown : found->second;
  }

  void OnTag(std::string_view name) {
    attribute_name_.clear();
    element_ = Element::kOther;
    element_start_ = kUnknown;
    if (name == "ZRTViewName") in_view_ = true;
    if (name == "ZRTPath") in_path_ = true;
    if (name == "/ZRTPath") in_path_ = false;
    if (name == "SYS") after_sys_ = in_path_;
    if (name[0] == '/' && IsRegionName(name.substr(1))) {
      const std::size_t open = OpenRegion(name.substr(1));
      if (open != kUnknown) {
        element_ = Element::kRegionClosing;
        closing_region_ = open;
        open_regions_.erase(std::string(name.substr(1)));
        OutlineRegion& region = outline_.regions[closing_region_];
        region.closed = true;
        region.content.end = ElementStart();
        region.closing.begin = ElementStart();
      }
      if (name == "/ZRTImage") in_image_region_ = OpenRegion("ZRTImage") != kUnknown;
    } else if (IsRegionName(name)) {
      if (OpenRegion(name) == kUnknown) {
        element_ = Element::kRegionOpening;
        OutlineRegion region;
        region.name = std::string(name);
        region.opening.begin = ElementStart();
        open_regions_.emplace(std::string(name), outline_.regions.size());
        outline_.regions.push_back(std::move(region));
      }
      if (name == "ZRTImage") in_image_region_ = true;
    } else if (IsTitle(name)) {
      if (in_view_ && !title_open_) {
        element_ = Element::kTitle;
        title_open_ = true;
        OutlineTitle title;
        title_starts_.push_back(ElementStart());
        outline_.titles.push_back(title);
      }
    } else if (IsClosingTitle(name)) {
      if (in_view_ && title_open_) {
        element_ = Element::kClosingTitle;
        outline_.titles.back().closed = true;
        outline_.titles.back().text.end = ElementStart();
        in_view_ = false;
        title_open_ = false;
      }
    } else if (IsImage(name) && in_image_region_) {
      element_ = Element::kImage;
      OutlineImage image;
      image.element.begin = ElementStart();
      outline_.images.push_back(std::move(image));
    } else if (name == "SYS") {
      element_ = Element::kSys;
    }
  }

  // The "<" of the element whose name was just read, found on first use.
  std::size_t ElementStart() {
    if (element_start_ == kUnknown) element_start_ = zrtmask::ElementStart(mask_, name_end_);
    return element_start_;
  }

  void OnValue(const ZRTDcHtmlHandler& scanner) {
    if (element_ == Element::kSys && after_sys_ && in_path_ && attribute_name_ == "path") {
      outline_.path.found = true;
      path_end_ = ScanAccess::Offset(scanner, 1);
      outline_.path.value = scanner.GetItemValue();
    }
    if (element_ != Element::kImage || !IsImageAttribute(attribute_name_)) return;
    OutlineImageAttribute attribute;
    attribute.name = attribute_name_;
    attribute.value = {attribute_end_, attribute_end_};
    std::size_t at = attribute_end_;
    while (at < mask_.size() && IsBlank(static_cast<unsigned char>(mask_[at]))) ++at;
    if (at < mask_.size() && mask_[at] == '=') {
      // A quoted value ends at its quote; an unquoted one before the blank or ">" that ended it.
      const std::size_t last = ScanAccess::Offset(scanner, 1);
      attribute.value.end =
          IsQuote(static_cast<unsigned char>(mask_[last])) ? ScanAccess::Offset(scanner) : last;
    }
    outline_.images.back().attributes.push_back(std::move(attribute));
    attribute_name_.clear();
  }

  // A comment "<!--" name "-->" opens a filled region and "<!--/" name "-->" closes it.
  void OnComment(std::string_view body, std::size_t end) {
    if (body.size() < 3 || body.front() != '-' || body.back() != '-') return;
    const std::string_view name = body.substr(1, body.size() - 2);
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return IsBlank(static_cast<unsigned char>(c)) || c == '-'; })) {
      return;
    }
    // The comment is "<!-" body "->", its body without blanks and so without a folded CR LF.
    if (end < body.size() + 5 || mask_.compare(end - body.size() - 5, 4, "<!--") != 0) return;
    const std::size_t start = end - body.size() - 5;
    if (name[0] != '/') {
      open_filled_.push_back(outline_.filled.size());
      outline_.filled.push_back({std::string(name), 0, {start, start}});
      return;
    }
    for (auto it = open_filled_.rbegin(); it != open_filled_.rend(); ++it) {
      OutlineFilled& filled = outline_.filled[*it];
      if (filled.name == name.substr(1)) {
        filled.range.end = end;
        open_filled_.erase(std::next(it).base());
        return;
      }
    }
  }

  // The element being read ended just before end (after its ">", or at the end of the mask).
  void EndElement(std::size_t end) {
    switch (element_) {
      case Element::kRegionOpening: {
        OutlineRegion& region = outline_.regions.back();
        region.opening.end = end;
        region.content.begin = end;
        break;
      }
      case Element::kRegionClosing:
        outline_.regions[closing_region_].closing.end = end;
        break;
      case Element::kTitle:
        outline_.titles.back().text.begin = end;
        break;
      case Element::kImage:
        outline_.images.back().element.end = end;
        break;
      case Element::kClosingTitle:
      case Element::kSys:
      case Element::kOther:
        break;
    }
    element_ = Element::kOther;
  }

  std::string_view mask_;
  const std::vector<std::string>& region_names_;
  Outline& outline_;
  std::vector<std::size_t> title_starts_;  // offset of each title's "<"
  std::size_t path_end_ = 0;
  // The first two bytes (after a "/") of the element names that OnTag looks at, as
  // (first << 8) | second, second 0 for a one-byte name; may_start_ marks their first bytes.
  std::vector<unsigned> starts_;
  bool may_start_[256] = {};
  std::size_t name_end_ = 0;  // where the scanner ended the last element name we looked at
  Element element_ = Element::kOther;
  std::size_t element_start_ = 0;  // kUnknown until ElementStart() finds it
  std::string attribute_name_;
  std::size_t attribute_end_ = 0;
  // The open regions by name (a name is open once at most): indexes into outline_.regions.
  std::unordered_map<std::string, std::size_t> open_regions_;
  std::size_t closing_region_ = 0;
  std::vector<std::size_t> open_filled_;  // indexes into outline_.filled
  bool in_view_ = false;
  bool title_open_ = false;
  bool in_image_region_ = false;
  bool in_path_ = false;
  bool after_sys_ = false;
};

// The processing keywords: "QLX" and a suffix per kind, each letter in either case.
std::string_view SuffixOf(ProcessingMarker kind) {
  return std::string_view(MarkerKeyword(kind)).substr(3);
}

int Upper(int c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// The marker setters' reading of a mask, over its bytes. Their tokenizer reads "<", a space, ">"
// and a line feed as tokens of their own, also where they cut a keyword's "QLX" short; a
// keyword is "QLX" and the kind's suffix, each letter in either case; any other byte that does
// not fit ends the attempt and goes with it (within the suffix, "<" too). A CR LF reads as one
// line feed. Their search moves through the states below, one step a token.
enum class Token { kLessThan, kBlank, kGreaterThan, kNewline, kKeyword, kOther };

int ReadChar(std::string_view bytes, std::size_t* at) {
  if (*at >= bytes.size()) return -1;
  int c = static_cast<unsigned char>(bytes[(*at)++]);
  if (c == '\r' && *at < bytes.size() && bytes[*at] == '\n') c = bytes[(*at)++];
  return c;
}

Token NextToken(std::string_view bytes, std::string_view suffix, std::size_t* at) {
  static constexpr std::string_view kPrefix = "QLX";
  for (char letter : kPrefix) {
    const int c = ReadChar(bytes, at);
    switch (c) {
      case '<':
        return Token::kLessThan;
      case ' ':
        return Token::kBlank;
      case '>':
        return Token::kGreaterThan;
      case '\n':
        return Token::kNewline;
      default:
        if (Upper(c) != letter) return Token::kOther;
    }
  }
  for (char letter : suffix) {
    if (Upper(ReadChar(bytes, at)) != letter) return Token::kOther;
  }
  return Token::kKeyword;
}

// The search's states: 0 looks for "<"; 1 follows a "<" (and blanks); 2 follows the keyword
// (and blanks); kMarkerFound is the ">" after it, where the value goes.
constexpr int kMarkerFound = 3;

int NextState(int state, Token token) {
  switch (token) {
    case Token::kLessThan:
      return 1;
    case Token::kBlank:
    case Token::kNewline:
      return state;
    case Token::kGreaterThan:
      return state == 2 ? kMarkerFound : 0;
    case Token::kKeyword:
      return state == 1 ? 2 : 0;
    case Token::kOther:
      return 0;
  }
  return 0;
}

// True for the bytes that a token can hold before its last one: the keyword's letters.
bool IsKeywordLetter(char c, std::string_view suffix) {
  const int upper = Upper(static_cast<unsigned char>(c));
  return upper == 'Q' || upper == 'L' || upper == 'X' ||
         suffix.find(static_cast<char>(upper)) != std::string_view::npos;
}

// True for the bytes that may stand between a marker's "<" and its keyword: spaces, line ends,
// and the first letters of a "QLX" that a space or line feed cut short.
bool IsBetweenLessThanAndKeyword(char c) {
  const int upper = Upper(static_cast<unsigned char>(c));
  return c == ' ' || c == '\n' || c == '\r' || upper == 'Q' || upper == 'L';
}

}  // namespace

// The search is the setters' own, run only around each "X" that may end a keyword's "QLX":
// from state 0, only a "<" token leads on, and every marker is "<", blanks, the keyword. A token
// ends at every byte that is no keyword letter, so the tokenizer is in step after the last such
// byte before the "<"; the state there does not matter, as the "<" token sets it. The search
// from there is exact, so the first marker it reaches is the setters' first.
bool FindProcessingMarker(std::string_view mask, ProcessingMarker kind, OutlineMarker* marker) {
  const std::string_view suffix = SuffixOf(kind);
  const std::size_t size = mask.size();
  auto find_from = [&](char letter, std::size_t from) {
    if (from >= size) return size;
    const void* found = std::memchr(mask.data() + from, letter, size - from);
    return found == nullptr
               ? size
               : static_cast<std::size_t>(static_cast<const char*>(found) - mask.data());
  };
  std::size_t next_upper = find_from('X', 0);
  std::size_t next_lower = find_from('x', 0);
  for (;;) {
    const std::size_t x = std::min(next_upper, next_lower);
    if (x == size) return false;
    if (x == next_upper) {
      next_upper = find_from('X', x + 1);
    } else {
      next_lower = find_from('x', x + 1);
    }
    if (x < 3 || Upper(static_cast<unsigned char>(mask[x - 1])) != 'L' ||
        Upper(static_cast<unsigned char>(mask[x - 2])) != 'Q') {
      continue;
    }
    // Before the keyword, back to the "<": spaces and line feeds (CR LF too), and keywords cut
    // short by one of them ("<QL qlxurl>" is a marker: "QL " reads as a space). The search
    // forward from there decides.
    std::size_t before = x - 2;
    while (before > 0 && IsBetweenLessThanAndKeyword(mask[before - 1])) --before;
    if (before == 0 || mask[before - 1] != '<') continue;
    std::size_t at = before - 1;
    while (at > 0 && IsKeywordLetter(mask[at - 1], suffix)) --at;
    int state = 0;
    std::size_t less_than = at;
    while (at < size) {
      const std::size_t token_start = at;
      const Token token = NextToken(mask, suffix, &at);
      if (token == Token::kLessThan) less_than = at - 1;
      state = NextState(state, token);
      if (state == kMarkerFound) {
        marker->kind = kind;
        marker->marker = {less_than, at};
        marker->insert_at = at;
        return true;
      }
      if (state == 0 && token_start > x) break;
    }
  }
}

int BuildOutline(std::string_view mask, const std::vector<std::string>& region_names,
                 unsigned marker_kinds, bool with_lines, Outline* outline) {
  *outline = Outline();
  OutlineBuilder builder(mask, region_names, outline);
  const int code = builder.Run();
  if (code != kOk) return code;
  for (ProcessingMarker kind : {ProcessingMarker::kStart, ProcessingMarker::kAnnotations,
                                ProcessingMarker::kUrl, ProcessingMarker::kDbAccess}) {
    OutlineMarker marker;
    if ((marker_kinds & MarkerBit(kind)) != 0 && FindProcessingMarker(mask, kind, &marker)) {
      outline->markers.push_back(marker);
    }
  }
  std::sort(outline->markers.begin(), outline->markers.end(),
            [](const OutlineMarker& a, const OutlineMarker& b) {
              return a.marker.begin < b.marker.begin;
            });
  if (with_lines) builder.AddLines();
  return kOk;
}

int OutlineMask(std::string_view mask, const std::vector<std::string>& region_names,
                Outline* outline) {
  if (outline == nullptr) return kOpenFailed;
  return CatchAll([&]() -> int {
    return BuildOutline(mask, region_names, kEveryMarker, /*with_lines=*/true, outline);
  });
}

}  // namespace zrtmask
