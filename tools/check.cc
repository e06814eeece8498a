// zrtmask check FILE...: says, as a compiler does, what in each template would make a rewrite
// fail (errors) or change more than it was asked to (warnings), before anything is rewritten.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
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
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

struct Finding {
  int line;
  bool error;
  std::string message;
};

bool SameLetters(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool StartsWithLetters(std::string_view text, std::string_view prefix) {
  return SameLetters(text.substr(0, prefix.size()), prefix);
}

// The marker elements with a meaning of their own, which hold markup by design.
const std::string_view kFixedMarkers[] = {"ZRTViewName", "ZRTPath", "ZRTImage"};

bool IsFixedMarker(std::string_view name) {
  return std::find(std::begin(kFixedMarkers), std::end(kFixedMarkers), name) !=
         std::end(kFixedMarkers);
}

// An element that keeps its content from being read as markup in a browser, but not by the
// scanner.
bool IsRawTextElement(std::string_view name) {
  return SameLetters(name, "script") || SameLetters(name, "style");
}

// Looks at the items of one template, in order, and collects what it finds.
class PageRules {
 public:
  explicit PageRules(const Outline& outline) : outline_(outline) {}

  void OnItem(int type, std::string_view text, int line) {
    if (raw_line_ != 0 && !raw_reported_ && type != ITEM_TEXT &&
        !(type == ITEM_TAG && text.substr(0, 1) == "/" &&
          SameLetters(text.substr(1), raw_element_))) {
      Warn(raw_line_,
           "the content of <" + raw_element_ + "> is read as markup: an item rewrite changes it");
      raw_reported_ = true;
    }
    if (type == ITEM_TAG) OnElement(text, line);
    if (type == ITEM_COMMENT) OnComment(text, line);
    if (pre_line_ != 0) FollowPre(type, text, line);
    const size_t blank = text.find("\n\n");
    if ((type == ITEM_TEXT || type == ITEM_COMMENT || type == ITEM_VALUE) &&
        blank != std::string_view::npos && blank_lines_++ == 0) {
      // The item's line is where it ends: count back to the blank line.
      first_blank_line_ =
          line - static_cast<int>(
                     std::count(text.begin() + static_cast<long>(blank) + 1, text.end(), '\n'));
    }
    // Two blanks after an element name make an attribute without a name, written as ="".
    if (type == ITEM_VALUE && previous_type_ == ITEM_ATTRIBUTE && previous_text_empty_) {
      Warn(line, "two blanks after an element name: an item rewrite writes =\"\" there");
    }
    previous_type_ = type;
    previous_text_empty_ = text.empty();
    previous_line_ = line;
  }

  // Adds what only the whole page shows.
  std::vector<Finding> Finish() {
    if (blank_lines_ > 0) {
      Warn(first_blank_line_, "blank lines are removed by an item rewrite (" +
                                  std::to_string(blank_lines_) +
                                  (blank_lines_ == 1 ? " place)" : " places)"));
    }
    // What a rewrite reports as not closed (10) is the library's outline's to say.
    std::map<std::string_view, int> first_lines;
    for (const OutlineRegion& region : outline_.regions) {
      const std::string shown = "region " + Escape(region.name.c_str());
      // The fixed markers are not filled as regions; their own operations do not need the
      // closing element.
      if (!region.closed && !IsFixedMarker(region.name)) {
        Error(region.line, shown + " is not closed: a rewrite of it fails (10)");
      }
      const auto [first, inserted] = first_lines.emplace(region.name, region.line);
      if (!inserted) {
        Error(region.line,
              shown + " appears again (first on line " + std::to_string(first->second) + ")");
      }
    }
    for (const OutlineTitle& title : outline_.titles) {
      if (!title.closed) {
        Error(title.line, "the view name's title is not closed: set-view-name fails (10)");
      }
    }
    for (const OutlineFilled& filled : outline_.filled) {
      Warn(filled.line, "region " + Escape(filled.name.c_str()) +
                            " is already filled (a pair of comments): rewrites do not find it "
                            "again");
    }
    return std::move(findings_);
  }

 private:
  void Error(int line, std::string message) {
    findings_.push_back({line, true, std::move(message)});
  }
  void Warn(int line, std::string message) {
    findings_.push_back({line, false, std::move(message)});
  }

  void OnElement(std::string_view name, int line) {
    const bool closing = name.substr(0, 1) == "/";
    const std::string_view element = closing ? name.substr(1) : name;
    if (raw_line_ != 0 && !closing &&
        (StartsWithLetters(element, "ZRT") || StartsWithLetters(element, "QLX"))) {
      Warn(line, "marker " + Escape(std::string(element).c_str()) + " inside <" + raw_element_ +
                     ">: the page's script sees it as text, rewrites as markup");
    }
    WrongCase(element, line);
    if (!closing) MarkupInRegion(element, line);
    FollowRegions(element, closing, line);
    if (IsRawTextElement(element)) {
      raw_line_ = closing ? 0 : line;
      raw_element_ = std::string(element);
      raw_reported_ = false;
    }
    if (SameLetters(element, "pre")) pre_line_ = closing ? 0 : line;
  }

  // A marker-like name that differs from a marker name in case only matches nothing.
  void WrongCase(std::string_view element, int line) {
    if (!StartsWithLetters(element, "ZRT") ||
        !wrong_case_reported_.insert(std::string(element)).second) {
      return;
    }
    const std::string shown = Escape(std::string(element).c_str());
    if (element.substr(0, 3) != "ZRT") {
      Warn(line, shown + " looks like a marker element, but marker names begin with ZRT");
      return;
    }
    for (std::string_view fixed : kFixedMarkers) {
      if (SameLetters(element, fixed) && element != fixed) {
        Warn(line,
             shown + " is not the marker " + std::string(fixed) + ": names are matched exactly");
        return;
      }
    }
    for (const OutlineRegion& region : outline_.regions) {
      if (SameLetters(element, region.name) && element != region.name) {
        Warn(line, shown + " does not match the region " + Escape(region.name.c_str()) +
                       " on line " + std::to_string(region.line) + ": names are matched exactly");
        return;
      }
    }
  }

  // A rewrite of a region drops its text and line breaks but keeps its other elements, empty.
  void MarkupInRegion(std::string_view element, int line) {
    if (element == "BR" || element == "br") return;
    for (const auto& [name, open_line] : open_regions_) {
      if (element != name && !IsFixedMarker(name) &&
          markup_reported_.emplace(name, open_line).second) {
        Warn(line, "region " + Escape(name.c_str()) + " holds markup (<" +
                       Escape(std::string(element).c_str()) +
                       ">): a rewrite of it keeps the elements and drops their text");
        return;
      }
    }
  }

  // Follows the open marker regions, as the region rewrites do: an element of the region's name
  // opens it, the next closing element closes it.
  void FollowRegions(std::string_view element, bool closing, int line) {
    if (element.substr(0, 3) != "ZRT") return;
    const std::string name(element);
    if (closing) {
      open_regions_.erase(name);
      return;
    }
    const auto [open, inserted] = open_regions_.emplace(name, line);
    if (!inserted) {
      Error(line, "region " + Escape(name.c_str()) +
                      " opens again before it closes (it opened "
                      "on line " +
                      std::to_string(open->second) + ")");
    }
  }

  void OnComment(std::string_view body, int line) {
    for (size_t at = body.find('<'); at != std::string_view::npos; at = body.find('<', at + 1)) {
      std::string_view rest = body.substr(at + 1);
      if (StartsWithLetters(rest, "ZRT")) {
        Warn(line, "marker element inside a comment: queries and rewrites do not see it");
        return;
      }
      rest.remove_prefix(std::min(rest.find_first_not_of(" \n"), rest.size()));
      if (StartsWithLetters(rest, "QLX")) {
        Warn(line, "processing marker inside a comment: its rewrite inserts the value there");
        return;
      }
    }
  }

  // An item rewrite writes a line feed after an element when the next item ends on another
  // line; only a text that begins with a line feed absorbs it. Inside <pre> that shows.
  void FollowPre(int type, std::string_view text, int line) {
    const bool closes_element = type == ITEM_TAG || type == ITEM_TEXT || type == ITEM_COMMENT;
    const bool element_open = previous_type_ == ITEM_TAG || previous_type_ == ITEM_ATTRIBUTE ||
                              previous_type_ == ITEM_VALUE;
    if (closes_element && element_open && line != previous_line_ &&
        !(type == ITEM_TEXT && text.substr(0, 1) == "\n")) {
      Warn(pre_line_, "an item rewrite adds a line feed inside <pre> (on line " +
                          std::to_string(previous_line_) + ")");
      pre_line_ = 0;
    }
  }

  const Outline& outline_;
  std::map<std::string, int> open_regions_;  // the open marker regions and their opening lines
  std::vector<Finding> findings_;
  int previous_type_ = 0;
  bool previous_text_empty_ = false;
  int previous_line_ = 0;
  int raw_line_ = 0;  // the line of the open <script> or <style>, or 0
  std::string raw_element_;
  bool raw_reported_ = false;
  int pre_line_ = 0;  // the line of the open <pre> not yet reported, or 0
  std::set<std::pair<std::string, int>> markup_reported_;  // regions reported, by opening line
  std::set<std::string> wrong_case_reported_;  // each spelling is reported once  // the opening
                                               // line of the last region reported for markup
  int blank_lines_ = 0;
  int first_blank_line_ = 0;
};

// What the scanner skips without an item: declarations and CDATA sections, up to the first ">".
void FindSkippedMarkup(const std::string& bytes, std::vector<Finding>& findings) {
  int line = 1;
  size_t counted = 0;
  for (size_t at = bytes.find("<!"); at != std::string::npos; at = bytes.find("<!", at + 2)) {
    if (bytes.compare(at, 4, "<!--") == 0) {
      at = bytes.find("-->", at + 4);
      if (at == std::string::npos) break;
      continue;
    }
    line += static_cast<int>(std::count(bytes.begin() + static_cast<long>(counted),
                                        bytes.begin() + static_cast<long>(at), '\n'));
    counted = at;
    const bool cdata = bytes.compare(at, 9, "<![CDATA[") == 0;
    findings.push_back({line, false,
                        cdata ? "CDATA section: an item rewrite drops it up to its first >"
                              : "declaration: an item rewrite does not write it back"});
  }
}

// Checks one template; returns 0 or the result code of reading it.
int CheckFile(const std::string& path, std::vector<Finding>& findings) {
  // The template is read once; the scanner reads a private copy of those bytes.
  std::string bytes;
  int error = ReadWholeFile(path, bytes);
  if (error != 0) return ReadFailureCode(error);
  ScratchDirectory scratch;
  error = scratch.Create();
  const std::string copy = scratch.path() + "/template.html";
  if (error == 0) error = WriteNewFile(copy, bytes);
  if (error != 0) return kOpenFailed;

  int code = kOk;
  Outline outline;
  code = OutlineMask(bytes, {}, &outline);
  if (code != kOk) return code;
  PageRules rules(outline);
  code = ScanItems(copy, kAllItemTypes, [&](ZRTDcHtmlHandler& scanner) {
    const int type = scanner.GetItemType();
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    const char* text = named ? scanner.GetItemName() : scanner.GetItemValue();
    rules.OnItem(type, text, scanner.GetCurrentLineNb());
  });
  if (code != kOk) return code;
  findings = rules.Finish();
  FindSkippedMarkup(bytes, findings);
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& left, const Finding& right) {
    return left.line < right.line;
  });
  return kOk;
}

struct CheckOptions {
  std::vector<std::string> files;
  bool strict = false;
  bool json = false;
};

int RunCheck(const CheckOptions& options) {
  int errors = 0;
  int warnings = 0;
  int failed_code = kOk;
  nlohmann::json files = nlohmann::json::array();
  for (const std::string& path : options.files) {
    std::vector<Finding> findings;
    const int code = CheckFile(path, findings);
    const std::string name = DisplayName(path);
    if (code != kOk) {
      PrintError(name, DescribeResult(code));
      if (failed_code == kOk) failed_code = code;
    }
    nlohmann::json listed = nlohmann::json::array();
    for (const Finding& finding : findings) {
      (finding.error ? errors : warnings) += 1;
      const char* severity = finding.error ? "error" : "warning";
      if (options.json) {
        listed.push_back(
            {{"line", finding.line}, {"severity", severity}, {"message", finding.message}});
      } else {
        std::printf("%s:%d: %s: %s\n", name.c_str(), finding.line, severity,
                    finding.message.c_str());
      }
    }
    files.push_back({{"file", path}, {"result", code}, {"findings", listed}});
  }
  if (options.json) PrintJson({{"files", files}, {"errors", errors}, {"warnings", warnings}});
  int status = FinishOutput();
  if (status != kOk) return status;
  if (failed_code != kOk) return failed_code;
  return errors > 0 || (options.strict && warnings > 0) ? kExitDataError : kOk;
}

}  // namespace

Subcommand CheckSubcommand() {
  return {"check",
          "Report what would make a rewrite of each template fail (errors) or change more than "
          "asked (warnings), as FILE:LINE: error: MESSAGE",
          [](CLI::App& app) {
            auto options = std::make_shared<CheckOptions>();
            app.add_option("FILE", options->files, "Template files (- reads standard input)")
                ->required()
                ->type_name("");
            app.add_flag("--strict", options->strict,
                         "Warnings count as errors for the exit status");
            app.add_flag("--json", options->json, "Print one JSON document instead of lines");
            app.footer(
                "Exit status: 0 when no error was found, 65 when one was (with --strict, a "
                "warning too), the result code of a template that cannot be read.");
            return std::function<int()>([options] { return RunCheck(*options); });
          }};
}

}  // namespace zrtmask
