// The marker regions and the view name's title of a template, by the rules of the item rewrites.
#include "tools/outline.h"

#include <string_view>
#include <utility>

#include "zrtmask_result.h"

namespace zrtmask {

int ScanItems(const std::string& path, int find_types,
              const std::function<void(ZRTDcHtmlHandler& scanner)>& on_item) {
  ZRTDcHtmlHandler scanner;
  int code = scanner.OpenFile(path.c_str());
  if (code != kOk) return code;
  scanner.SetFindTypes(find_types);
  while (scanner.FindNextItem() != 0) on_item(scanner);
  return kOk;
}

RegionOutline::RegionOutline(std::string extra_region) : extra_region_(std::move(extra_region)) {}

void RegionOutline::FollowElement(const char* name, int line) {
  const std::string_view element = name;
  // The view name's title: the first title after ZRTViewName, which stays in force (as in the
  // view-name rewrite) until a title closes.
  if (element == "ZRTViewName") {
    in_view_name_ = true;
  } else if ((element == "title" || element == "TITLE") && in_view_name_ && title_line_ == 0) {
    title_line_ = line;
  } else if ((element == "/title" || element == "/TITLE") && title_line_ != 0) {
    in_view_name_ = false;
    title_line_ = 0;
  }

  const bool closing = element.substr(0, 1) == "/";
  const std::string_view region = closing ? element.substr(1) : element;
  if (region.substr(0, 3) != "ZRT" && (region.empty() || region != extra_region_)) return;
  if (closing) {
    auto found = regions_.find(std::string(region));
    if (found != regions_.end() && found->second.inside) {
      found->second.inside = false;
      found->second.closed = true;
    }
    return;
  }
  RegionTrace& trace = regions_[std::string(region)];
  if (trace.first_line == 0) trace.first_line = line;
  if (trace.inside) {
    trace.reopened.emplace_back(line, trace.open_line);
    return;
  }
  if (trace.closed) trace.repeated.push_back(line);
  trace.inside = true;
  trace.open_line = line;
}

int RegionOutline::UnclosedLine(const std::string& region) const {
  auto found = regions_.find(region);
  return found != regions_.end() && found->second.inside ? found->second.open_line : 0;
}

int ReadRegionOutline(const std::string& path, RegionOutline& outline) {
  return ScanItems(path, ITEM_TAG, [&](ZRTDcHtmlHandler& scanner) {
    outline.FollowElement(scanner.GetItemName(), scanner.GetCurrentLineNb());
  });
}

}  // namespace zrtmask
