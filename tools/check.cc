// zrtmask check FILE...: says, as a compiler does, what in each mask would make its use fail
// (errors) or surprise (warnings), before it is used: for a render (the default) or, with
// --for rewrite, for the legacy in-place rewrites too. Every finding has a stable code.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "tools/outline.h"
#include "tools/tool.h"
#include "zrtmask_outline.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

// What the mask is checked for: a rewrite also meets the legacy item rewrites' quirks.
enum class Use { kRender, kRewrite };

// The findings. The codes are part of the tool's interface (scripts filter on them): a code is
// never renumbered or reused. Z1xx concern every use, Z2xx the legacy rewrites only.
enum class Code {
  kUnreadable,
  kRegionNotClosed,
  kTitleNotClosed,
  kExpectedMissing,
  kNotExpected,
  kCaseOnly,
  kPrefixCase,
  kMarkerElementHidden,
  kProcessingMarkerHidden,
  kNested,
  kOpensInsideItself,
  kAlreadyFilled,
  kImageWithoutPicture,
  kMarkerInScript,
  kDeclaration,
  kCdata,
  kScriptAsMarkup,
  kBlankLines,
  kEmptyAttributeName,
  kLineFeedInPre,
  kMarkupInRegion,
  kTooLong,
};

struct Rule {
  Code code;
  const char* name;
  bool error;
  Use use;  // kRender: every use; kRewrite: --for rewrite only
};

constexpr Rule kRules[] = {
    {Code::kUnreadable, "Z100", true, Use::kRender},
    {Code::kRegionNotClosed, "Z101", true, Use::kRender},
    {Code::kTitleNotClosed, "Z102", true, Use::kRender},
    {Code::kExpectedMissing, "Z103", true, Use::kRender},
    {Code::kNotExpected, "Z104", false, Use::kRender},
    {Code::kCaseOnly, "Z105", false, Use::kRender},
    {Code::kPrefixCase, "Z106", false, Use::kRender},
    {Code::kMarkerElementHidden, "Z107", false, Use::kRender},
    {Code::kProcessingMarkerHidden, "Z108", false, Use::kRender},
    {Code::kNested, "Z109", false, Use::kRender},
    {Code::kOpensInsideItself, "Z110", false, Use::kRender},
    {Code::kAlreadyFilled, "Z111", false, Use::kRender},
    {Code::kImageWithoutPicture, "Z112", false, Use::kRender},
    {Code::kMarkerInScript, "Z113", false, Use::kRender},
    {Code::kDeclaration, "Z201", false, Use::kRewrite},
    {Code::kCdata, "Z202", false, Use::kRewrite},
    {Code::kScriptAsMarkup, "Z203", false, Use::kRewrite},
    {Code::kBlankLines, "Z204", false, Use::kRewrite},
    {Code::kEmptyAttributeName, "Z205", false, Use::kRewrite},
    {Code::kLineFeedInPre, "Z206", false, Use::kRewrite},
    {Code::kMarkupInRegion, "Z207", false, Use::kRewrite},
    {Code::kTooLong, "Z208", false, Use::kRewrite},
};

const Rule& RuleOf(Code code) { return kRules[static_cast<int>(code)]; }

struct Finding {
  int line;  // 0 for the file as a whole
  Code code;
  std::string message;
};

struct CheckOptions {
  std::vector<std::string> files;
  std::string use = "render";
  std::vector<std::string> ignore;
  std::vector<std::string> expect;
  std::string expect_file;
  bool strict = false;
  bool json = false;
};

// What the checker of one mask needs from the command line.
struct CheckSettings {
  Use use = Use::kRender;
  bool expecting = false;          // --expect or --expect-file was given
  std::vector<std::string> names;  // the region names expected, as given
  std::set<std::string, std::less<>> name_set;
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
  return lower;
}

bool SameLetters(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

bool StartsWithLetters(std::string_view text, std::string_view prefix) {
  return SameLetters(text.substr(0, prefix.size()), prefix);
}

// The marker elements with a meaning of their own; a render does not fill them as regions.
const std::string_view kFixedMarkers[] = {"ZRTViewName", "ZRTPath", "ZRTImage"};

bool IsFixedMarker(std::string_view name) {
  return std::find(std::begin(kFixedMarkers), std::end(kFixedMarkers), name) !=
         std::end(kFixedMarkers);
}

// An element whose content a browser does not read as markup; the scanner does.
bool IsRawTextElement(std::string_view name) {
  return SameLetters(name, "script") || SameLetters(name, "style");
}

std::string Shown(std::string_view name) { return Escape(std::string(name).c_str()); }

// The longest name and value that the scanner's buffers hold (less their terminating zero): a
// longer name, attribute value or comment is cut there.
std::size_t LongestName() { return static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxNameSize) - 1; }
std::size_t LongestValue() {
  return static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxValueSize) - 1;
}

// Looks at one mask: its items in order, then its outline, and collects what it finds.
class MaskChecker {
 public:
  MaskChecker(const CheckSettings& settings, const Outline& outline)
      : settings_(settings), outline_(outline) {
    for (const OutlineMarker& marker : outline_.markers) marker_lines_[marker.kind] = marker.line;
  }

  void OnItem(int type, std::string_view text, int line) {
    const bool in_script_tag = raw_open_tag_ && (type == ITEM_ATTRIBUTE || type == ITEM_VALUE);
    if (raw_line_ != 0 && !in_script_tag) {
      raw_open_tag_ = false;
      const bool closes =
          type == ITEM_TAG && text.substr(0, 1) == "/" && SameLetters(text.substr(1), raw_element_);
      if (type != ITEM_TEXT && !closes && !raw_reported_) {
        const std::string markup = type == ITEM_COMMENT ? "a comment" : "<" + Shown(text) + ">";
        Add(raw_line_, Code::kScriptAsMarkup,
            "the content of <" + raw_element_ + "> holds markup (" + markup +
                "): an item rewrite changes it");
        raw_reported_ = true;
      }
    }
    switch (type) {
      case ITEM_TAG:
        OnElement(text, line);
        break;
      case ITEM_COMMENT:
        OnHidingItem("a comment", text, line);
        break;
      case ITEM_VALUE:
        OnHidingItem("an attribute value", text, line);
        break;
      default:
        break;
    }
    if (pre_line_ != 0) FollowPre(type, text, line);
    const std::size_t blank = text.find("\n\n");
    if ((type == ITEM_TEXT || type == ITEM_COMMENT || type == ITEM_VALUE) &&
        blank != std::string_view::npos && blank_lines_++ == 0) {
      // The item's line is where it ends: count back to the blank line.
      first_blank_line_ =
          line - static_cast<int>(
                     std::count(text.begin() + static_cast<long>(blank) + 1, text.end(), '\n'));
    }
    // Two blanks after an element name make an attribute without a name, written as ="".
    if (type == ITEM_VALUE && previous_type_ == ITEM_ATTRIBUTE && previous_text_empty_) {
      Add(line, Code::kEmptyAttributeName,
          "two blanks after an element name: an item rewrite writes =\"\" there");
    }
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    const std::size_t longest = named ? LongestName() : LongestValue();
    if (text.size() >= longest && type != ITEM_TEXT) {
      Add(line, Code::kTooLong,
          std::string(named ? "a name" : "a value or comment") + " of " + std::to_string(longest) +
              " bytes or more: the scanner cuts it there, so a rewrite cannot write it back");
    }
    previous_type_ = type;
    previous_text_empty_ = text.empty();
    previous_line_ = line;
  }

  // Adds what the outline shows and returns every finding.
  std::vector<Finding> Finish() {
    if (blank_lines_ > 0) {
      Add(first_blank_line_, Code::kBlankLines,
          "blank lines are removed by an item rewrite (" + std::to_string(blank_lines_) +
              (blank_lines_ == 1 ? " place)" : " places)"));
    }
    CheckRegions();
    for (const OutlineTitle& title : outline_.titles) {
      if (!title.closed) {
        Add(title.line, Code::kTitleNotClosed,
            "the view name's title is not closed: filling it fails (10)");
      }
    }
    for (const OutlineFilled& filled : outline_.filled) {
      Add(filled.line, Code::kAlreadyFilled,
          "region " + Shown(filled.name) +
              " is already filled (a pair of comments): it is not found again");
    }
    CheckNesting();
    if (settings_.expecting) CheckExpected();
    return std::move(findings_);
  }

 private:
  void Add(int line, Code code, std::string message) {
    if (RuleOf(code).use == Use::kRewrite && settings_.use != Use::kRewrite) return;
    findings_.push_back({line, code, std::move(message)});
  }

  bool IsRegionName(std::string_view name) const {
    return name.substr(0, 3) == "ZRT" || settings_.name_set.count(name) != 0;
  }

  void OnElement(std::string_view name, int line) {
    const bool closing = name.substr(0, 1) == "/";
    const std::string_view element = closing ? name.substr(1) : name;
    if (raw_line_ != 0 && !closing && IsRegionName(element)) {
      Add(line, Code::kMarkerInScript,
          "marker element " + Shown(element) + " inside <" + raw_element_ +
              ">: the page's script sees it as text, the render fills it");
    }
    if (StartsWithLetters(element, "ZRT") && element.substr(0, 3) != "ZRT" &&
        !IsRegionName(element) && prefix_case_reported_.insert(std::string(element)).second) {
      Add(line, Code::kPrefixCase,
          Shown(element) + " is not a marker element: marker names begin with ZRT, in capitals");
    }
    if (!closing && element != "BR" && element != "br" && !unreported_markup_.empty()) {
      const auto first = unreported_markup_.begin();
      Add(line, Code::kMarkupInRegion,
          "region " + Shown(first->first) + " holds markup (<" + Shown(element) +
              ">): a rewrite of it keeps the elements and drops their text");
      unreported_markup_.erase(first);
    }
    if (IsRegionName(element)) FollowRegion(std::string(element), closing, line);
    if (IsRawTextElement(element)) {
      raw_line_ = closing ? 0 : line;
      raw_element_ = std::string(element);
      raw_open_tag_ = !closing;
      raw_reported_ = false;
    }
    if (SameLetters(element, "pre")) pre_line_ = closing ? 0 : line;
  }

  // Follows the open regions as the outline does: an element of the region's name opens it,
  // the next closing element closes it.
  void FollowRegion(const std::string& name, bool closing, int line) {
    if (closing) {
      open_regions_.erase(name);
      unreported_markup_.erase(name);
      return;
    }
    const auto [open, inserted] = open_regions_.emplace(name, line);
    if (!inserted) {
      Add(line, Code::kOpensInsideItself,
          "region " + Shown(name) + " opens again inside itself (it opened on line " +
              std::to_string(open->second) + "): its first closing element ends it");
    } else if (!IsFixedMarker(name)) {
      unreported_markup_.emplace(name, line);
    }
  }

  // A comment or an attribute value hides the marker elements in it from the outline, but not
  // a processing marker: its value would be inserted there.
  void OnHidingItem(const char* where, std::string_view text, int line) {
    for (std::size_t at = text.find("<ZRT"); at != std::string_view::npos;
         at = text.find("<ZRT", at + 1)) {
      const std::size_t end = text.find_first_of(" \t\r\n>", at + 1);
      Add(line, Code::kMarkerElementHidden,
          "marker element " + Shown(text.substr(at + 1, end - at - 1)) + " inside " + where +
              ": it is not a region");
    }
    if (!HasMarkerKeyword(text)) return;
    // The item ends on line; the markers in it lie on the lines it spans.
    const int first_line = line - static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    Outline inside;
    if (OutlineMask(text, {}, &inside) != kOk) return;
    for (const OutlineMarker& marker : inside.markers) {
      const auto found = marker_lines_.find(marker.kind);
      if (found != marker_lines_.end() && found->second == first_line + marker.line - 1 &&
          hidden_reported_.insert(marker.kind).second) {
        Add(found->second, Code::kProcessingMarkerHidden,
            std::string("the first ") + MarkerKeyword(marker.kind) + " lies inside " + where +
                ": its value is inserted there");
      }
    }
  }

  static bool HasMarkerKeyword(std::string_view text) {
    for (std::size_t at = text.find_first_of("xX"); at != std::string_view::npos;
         at = text.find_first_of("xX", at + 1)) {
      if (at >= 2 && LowerAscii(text[at - 1]) == 'l' && LowerAscii(text[at - 2]) == 'q') {
        return true;
      }
    }
    return false;
  }

  // An item rewrite writes a line feed after an element when the next item ends on another
  // line; only a text that begins with a line feed absorbs it. Inside <pre> that shows.
  void FollowPre(int type, std::string_view text, int line) {
    const bool closes_element = type == ITEM_TAG || type == ITEM_TEXT || type == ITEM_COMMENT;
    const bool element_open = previous_type_ == ITEM_TAG || previous_type_ == ITEM_ATTRIBUTE ||
                              previous_type_ == ITEM_VALUE;
    if (closes_element && element_open && line != previous_line_ &&
        !(type == ITEM_TEXT && text.substr(0, 1) == "\n")) {
      Add(pre_line_, Code::kLineFeedInPre,
          "an item rewrite adds a line feed inside <pre> (on line " +
              std::to_string(previous_line_) + ")");
      pre_line_ = 0;
    }
  }

  // Unclosed regions, names that differ in case only, and the image region without a picture.
  void CheckRegions() {
    std::map<std::string, const OutlineRegion*> by_letters;
    for (const OutlineRegion& region : outline_.regions) {
      // The view name and the path are not filled as regions: their closing elements are not
      // needed.
      if (!region.closed && region.name != "ZRTViewName" && region.name != "ZRTPath") {
        Add(region.line, Code::kRegionNotClosed,
            "region " + Shown(region.name) + " is not closed: filling it fails (10)");
      }
      const auto [first, inserted] = by_letters.emplace(Lower(region.name), &region);
      if (!inserted && first->second->name != region.name &&
          case_reported_.insert(region.name).second) {
        Add(region.line, Code::kCaseOnly,
            "region " + Shown(region.name) + " differs only in case from " +
                Shown(first->second->name) + " on line " + std::to_string(first->second->line) +
                ": names are matched exactly");
      }
    }
    for (std::string_view fixed : kFixedMarkers) {
      const auto found = by_letters.find(Lower(fixed));
      if (found != by_letters.end() && found->second->name != fixed &&
          case_reported_.insert(found->second->name).second) {
        Add(found->second->line, Code::kCaseOnly,
            Shown(found->second->name) + " is not the marker " + std::string(fixed) +
                ": names are matched exactly");
      }
    }
    const auto image = by_letters.find("zrtimage");
    if (image != by_letters.end() && image->second->name == "ZRTImage" && outline_.images.empty()) {
      Add(image->second->line, Code::kImageWithoutPicture,
          "the ZRTImage region holds no IMG element: setting the image fails (11)");
    }
  }

  // A part inside a region that a render fills goes with the region's old content. The
  // regions' contents are sorted intervals; a part lies inside one when, of the contents that
  // begin before it, one ends after it.
  void CheckNesting() {
    std::vector<const OutlineRegion*> outer;
    for (const OutlineRegion& region : outline_.regions) {
      if (!IsFixedMarker(region.name)) outer.push_back(&region);
    }
    if (outer.empty()) return;
    // furthest[i]: of outer[0..i], the one whose content ends last.
    std::vector<const OutlineRegion*> furthest(outer.size());
    for (std::size_t i = 0; i < outer.size(); ++i) {
      furthest[i] = i > 0 && furthest[i - 1]->content.end >= outer[i]->content.end ? furthest[i - 1]
                                                                                   : outer[i];
    }
    auto check = [&](std::size_t at, int line, const std::string& what) {
      const auto after = std::upper_bound(outer.begin(), outer.end(), at,
                                          [](std::size_t offset, const OutlineRegion* region) {
                                            return offset < region->content.begin;
                                          });
      if (after == outer.begin()) return;
      const OutlineRegion* region = furthest[static_cast<std::size_t>(after - outer.begin() - 1)];
      if (at >= region->content.end) return;
      Add(line, Code::kNested,
          what + " lies inside region " + Shown(region->name) + " (line " +
              std::to_string(region->line) + "): filling " + Shown(region->name) + " drops it");
    };
    for (const OutlineRegion& region : outline_.regions) {
      check(region.opening.begin, region.line, "region " + Shown(region.name));
    }
    for (const OutlineTitle& title : outline_.titles) {
      check(title.text.begin, title.line, "the view name's title");
    }
    for (const OutlineMarker& marker : outline_.markers) {
      check(marker.marker.begin, marker.line, std::string("marker ") + MarkerKeyword(marker.kind));
    }
  }

  void CheckExpected() {
    std::set<std::string_view> held;
    for (const OutlineRegion& region : outline_.regions) held.insert(region.name);
    for (const std::string& name : settings_.name_set) {
      if (held.count(name) == 0) {
        Add(0, Code::kExpectedMissing, "expected region " + Shown(name) + " is not in the mask");
      }
    }
    std::set<std::string_view> reported;
    for (const OutlineRegion& region : outline_.regions) {
      if (IsFixedMarker(region.name) || settings_.name_set.count(region.name) != 0 ||
          !reported.insert(region.name).second) {
        continue;
      }
      Add(region.line, Code::kNotExpected,
          "region " + Shown(region.name) + " is not among the expected regions");
    }
  }

  const CheckSettings& settings_;
  const Outline& outline_;
  std::vector<Finding> findings_;
  std::map<ProcessingMarker, int> marker_lines_;  // the line of the first marker of each kind
  std::set<ProcessingMarker> hidden_reported_;
  std::map<std::string, int> open_regions_;       // the open regions and their opening lines
  std::map<std::string, int> unreported_markup_;  // open regions not yet reported for markup
  std::set<std::string> prefix_case_reported_;    // each spelling is reported once
  std::set<std::string> case_reported_;
  int previous_type_ = 0;
  bool previous_text_empty_ = false;
  int previous_line_ = 0;
  int raw_line_ = 0;  // the line of the open <script> or <style>, or 0
  std::string raw_element_;
  bool raw_open_tag_ = false;  // its own attributes are still being read
  bool raw_reported_ = false;
  int pre_line_ = 0;  // the line of the open <pre> not yet reported, or 0
  int blank_lines_ = 0;
  int first_blank_line_ = 0;
};

// What the scanner skips without an item: declarations and CDATA sections, up to the first ">".
void FindSkippedMarkup(const std::string& bytes, Use use, std::vector<Finding>& findings) {
  if (use != Use::kRewrite) return;
  int line = 1;
  std::size_t counted = 0;
  for (std::size_t at = bytes.find("<!"); at != std::string::npos; at = bytes.find("<!", at + 2)) {
    if (bytes.compare(at, 4, "<!--") == 0) {
      at = bytes.find("-->", at + 4);
      if (at == std::string::npos) break;
      continue;
    }
    line += static_cast<int>(std::count(bytes.begin() + static_cast<long>(counted),
                                        bytes.begin() + static_cast<long>(at), '\n'));
    counted = at;
    const bool cdata = bytes.compare(at, 9, "<![CDATA[") == 0;
    findings.push_back({line, cdata ? Code::kCdata : Code::kDeclaration,
                        cdata ? "CDATA section: an item rewrite drops it up to its first >"
                              : "declaration: an item rewrite does not write it back"});
  }
}

// Checks one mask; returns 0 or the result code of reading it.
int CheckFile(const std::string& path, const CheckSettings& settings,
              std::vector<Finding>& findings) {
  // The mask is read once; the scanner reads a private copy of those bytes.
  std::string bytes;
  int error = ReadWholeFile(path, bytes);
  if (error != 0) return ReadFailureCode(error);
  ScratchDirectory scratch;
  error = scratch.Create();
  const std::string copy = scratch.path() + "/template.html";
  if (error == 0) error = WriteNewFile(copy, bytes);
  if (error != 0) return kOpenFailed;

  Outline outline;
  int code = OutlineMask(bytes, settings.names, &outline);
  if (code != kOk) return code;
  MaskChecker checker(settings, outline);
  code = ScanItems(copy, kAllItemTypes, [&](ZRTDcHtmlHandler& scanner) {
    const int type = scanner.GetItemType();
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    const char* text = named ? scanner.GetItemName() : scanner.GetItemValue();
    checker.OnItem(type, text, scanner.GetCurrentLineNb());
  });
  if (code != kOk) return code;
  findings = checker.Finish();
  FindSkippedMarkup(bytes, settings.use, findings);
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& left, const Finding& right) {
    return left.line < right.line;
  });
  return kOk;
}

// Reads the expected names: one a line; blank lines and lines beginning with "#" are skipped.
// Returns 0, or kExitNoInput after a message.
int ReadExpected(const CheckOptions& options, CheckSettings& settings) {
  settings.expecting = !options.expect.empty() || !options.expect_file.empty();
  settings.names = options.expect;
  if (options.expect_file.empty()) {
    settings.name_set.insert(settings.names.begin(), settings.names.end());
    return 0;
  }
  std::string bytes;
  const int error = ReadWholeFile(options.expect_file, bytes);
  if (error != 0) {
    PrintError(DisplayName(options.expect_file), std::strerror(error));
    return kExitNoInput;
  }
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string_view line(bytes.data() + start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.empty() && line.front() != '#') settings.names.emplace_back(line);
    start = end + 1;
  }
  settings.name_set.insert(settings.names.begin(), settings.names.end());
  return 0;
}

int RunCheck(const CheckOptions& options) {
  std::set<Code> ignored;
  for (const std::string& name : options.ignore) {
    const auto rule = std::find_if(std::begin(kRules), std::end(kRules),
                                   [&](const Rule& known) { return name == known.name; });
    if (rule == std::end(kRules)) return UsageError("check", "no finding has the code " + name);
    ignored.insert(rule->code);
  }
  CheckSettings settings;
  settings.use = options.use == "rewrite" ? Use::kRewrite : Use::kRender;
  int status = ReadExpected(options, settings);
  if (status != 0) return status;
  std::vector<std::string> files;
  std::string failed;
  const int list_error = ListMasks(options.files, files, &failed);
  if (list_error != 0) {
    PrintError(failed, std::strerror(list_error));
    return kOpenFailed;
  }

  int errors = 0;
  int warnings = 0;
  int failed_code = kOk;
  nlohmann::json listed_files = nlohmann::json::array();
  for (const std::string& path : files) {
    std::vector<Finding> findings;
    const int code = CheckFile(path, settings, findings);
    const std::string name = DisplayName(path);
    if (code != kOk) {
      findings.insert(findings.begin(), {0, Code::kUnreadable, DescribeResult(code)});
      if (failed_code == kOk) failed_code = code;
    }
    nlohmann::json listed = nlohmann::json::array();
    for (const Finding& finding : findings) {
      if (ignored.count(finding.code) != 0) continue;
      const Rule& rule = RuleOf(finding.code);
      (rule.error ? errors : warnings) += 1;
      const char* severity = rule.error ? "error" : "warning";
      if (options.json) {
        listed.push_back({{"line", finding.line},
                          {"code", rule.name},
                          {"severity", severity},
                          {"message", finding.message}});
      } else if (finding.line > 0) {
        std::printf("%s:%d: %s: %s [%s]\n", name.c_str(), finding.line, severity,
                    finding.message.c_str(), rule.name);
      } else {
        std::printf("%s: %s: %s [%s]\n", name.c_str(), severity, finding.message.c_str(),
                    rule.name);
      }
    }
    listed_files.push_back({{"file", path}, {"result", code}, {"findings", listed}});
  }
  if (options.json) {
    PrintJson({{"schema", 1},
               {"for", options.use},
               {"files", listed_files},
               {"errors", errors},
               {"warnings", warnings}});
  }
  status = FinishOutput();
  if (status != kOk) return status;
  if (failed_code != kOk) return failed_code;
  return errors > 0 || (options.strict && warnings > 0) ? kExitDataError : kOk;
}

}  // namespace

Subcommand CheckSubcommand() {
  return {"check",
          "Report what would make a render of each mask (or, with --for rewrite, a rewrite) "
          "fail (errors) or surprise (warnings), as FILE:LINE: error: MESSAGE [CODE]",
          [](CLI::App& app) {
            auto options = std::make_shared<CheckOptions>();
            app.add_option("FILE", options->files,
                           "Masks, or folders to search for *.htm and *.html (- reads standard "
                           "input)")
                ->required()
                ->type_name("");
            app.add_option("--for", options->use,
                           "What the masks are for: render (the default) or rewrite, which adds "
                           "the legacy rewrites' findings (Z2xx)")
                ->check(CLI::IsMember({"render", "rewrite"}))
                ->type_name("USE");
            app.add_option("--expect", options->expect,
                           "The regions each mask must hold: a missing one is an error, another "
                           "region a warning; repeatable, or names joined by commas")
                ->delimiter(',')
                ->allow_extra_args(false)
                ->type_name("NAME");
            app.add_option("--expect-file", options->expect_file,
                           "Read the expected regions from F, one a line (# starts a comment "
                           "line)")
                ->type_name("F");
            app.add_option("--ignore", options->ignore,
                           "Leave out the findings with these codes, e.g. Z204; repeatable, or "
                           "codes joined by commas")
                ->delimiter(',')
                ->allow_extra_args(false)
                ->type_name("CODE");
            app.add_flag("--strict", options->strict,
                         "Warnings count as errors for the exit status");
            app.add_flag("--json", options->json, "Print one JSON document instead of lines");
            app.footer(
                "Exit status: 0 when no error was found, 65 when one was (with --strict, a "
                "warning too), the result code of the first file that cannot be read (also "
                "reported as finding Z100). The codes are listed in zrtmask(1).");
            return std::function<int()>([options] { return RunCheck(*options); });
          }};
}

}  // namespace zrtmask::cli
