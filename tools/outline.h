// The marker regions and the view name's title of a template, as the item rewrites see them, from
// one scan. The queries, the rewrites' messages, the strict name checks and check all ask here,
// so that the rules live in one place.
#ifndef ZRTMASK_TOOLS_OUTLINE_H_
#define ZRTMASK_TOOLS_OUTLINE_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ZRTDcHtmlHandler.h"

namespace zrtmask {

// Opens path with a scanner and hands it to on_item at every item of find_types. Returns the
// scanner's open code (0; 2 missing, 1 unreadable, 15 otherwise).
int ScanItems(const std::string& path, int find_types,
              const std::function<void(ZRTDcHtmlHandler& scanner)>& on_item);

// A region opens at an element of its name and closes at the next element "/" + name, both
// matched exactly. A rewrite of a region that is still open at the end fails with code 10.
struct RegionTrace {
  int first_line = 0;  // where the region first opens
  // Where it opens again while open, each with the line where the open one opened.
  std::vector<std::pair<int, int>> reopened;
  // Where it opens again after it closed.
  std::vector<int> repeated;
  // Following state.
  bool inside = false;
  bool closed = false;
  int open_line = 0;
};

class RegionOutline {
 public:
  // Follows the regions of every marker element (a name that begins with "ZRT") and of
  // extra_region, which may be any element name.
  explicit RegionOutline(std::string extra_region = "");

  // Takes the next element item (ITEM_TAG) of the scan, in document order.
  void FollowElement(const char* name, int line);

  // True when an element named `element` opens somewhere (it must be a followed name).
  bool Holds(const std::string& element) const { return regions_.count(element) > 0; }
  // Where `region` opens without closing before the end; 0 when it closes or never opens.
  int UnclosedLine(const std::string& region) const;
  // Where the title after ZRTViewName opens when it does not close: a view-name rewrite then
  // fails with code 10. 0 otherwise.
  int UnclosedTitleLine() const { return title_line_; }
  const std::map<std::string, RegionTrace>& regions() const { return regions_; }

 private:
  std::string extra_region_;
  std::map<std::string, RegionTrace> regions_;
  bool in_view_name_ = false;
  int title_line_ = 0;
};

// Reads the outline of the template at path, following extra_region too. Returns the scanner's
// open code.
int ReadRegionOutline(const std::string& path, RegionOutline& outline);

}  // namespace zrtmask

#endif  // ZRTMASK_TOOLS_OUTLINE_H_
