// The parts of a mask (or any template) as the library reads them: marker regions, the
// view-name title, the image, the path marker, the processing markers and the regions that are
// already filled, each with its line and its byte ranges in the mask's own bytes.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_OUTLINE_H_
#define ZRTMASK_INCLUDE_ZRTMASK_OUTLINE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "zrtmask_export.h"

namespace zrtmask {

// The bytes [begin, end) of the mask. Offsets count the mask's bytes as they are, a CR LF line
// end as two bytes.
struct ByteRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin == end; }
  std::size_t size() const { return end - begin; }
};

// A marker region: an element whose name begins with "ZRT" (or one of the names asked for),
// up to the next element named "/" and that name. Names are compared byte for byte, case
// included. A second opening element inside a region belongs to its content; a closing element
// outside any region opens none and is not listed.
struct OutlineRegion {
  std::string name;
  int line = 0;         // line of the "<" of the opening element (the first line is 1)
  bool closed = false;  // false: no closing element follows (the rewrites answer 10)
  ByteRange opening;    // the opening element, from its "<" to its ">" included
  ByteRange content;    // what lies between the two elements; to the end when not closed
  ByteRange closing;    // the closing element, "<" to ">"; empty (at the end) when not closed
};

// The title that carries the view name: the first element "title" or "TITLE" after a
// "ZRTViewName" element, up to the next "/title" or "/TITLE". After it closes, the next title
// needs another "ZRTViewName" element before it.
struct OutlineTitle {
  int line = 0;         // line of the "<" of the title element
  bool closed = false;  // false: no closing title element follows (the rewrite answers 10)
  ByteRange text;       // after the ">" of the title element up to the "<" of the closing one;
                        // to the end when not closed
};

// An attribute of an image element whose value the image rewrite replaces: "SRC" or "src",
// "WIDTH" or "width", "HEIGHT" or "height", when an attribute value follows its name.
struct OutlineImageAttribute {
  std::string name;
  // From the end of the name to the end of the value: the "=", blanks, quotes and value. Empty
  // (at the end of the name) for an attribute written without a value.
  ByteRange value;
};

// An element "IMG" or "img" inside a region named "ZRTImage".
struct OutlineImage {
  int line = 0;                                   // line of the "<" of the image element
  ByteRange element;                              // "<" to ">" included
  std::vector<OutlineImageAttribute> attributes;  // in the order written
};

// The path that GetZRTPath answers: the value of the last attribute "path" of a "SYS" element
// that follows a "SYS" element inside a "ZRTPath" element.
struct OutlinePath {
  bool found = false;
  int line = 0;       // line on which the value ends
  std::string value;  // as the scanner reads it (without quotes)
};

// The four processing-marker kinds that the marker setters write values after.
enum class ProcessingMarker : int {
  kStart = 4,        // QLXSTART, SetZRTStart
  kAnnotations = 6,  // QLXANNOT, SetZRTAnnotations
  kUrl = 7,          // QLXURL, SetZRTURL
  kDbAccess = 8,     // QLXDBACCESS, SetZRTDBAccess
};

// The first processing marker of a kind: "<", spaces and line feeds, the keyword (any mix of
// cases), spaces and line feeds, ">", found by the marker setters' own rules (also inside a
// comment or a script, as the setters find it).
struct OutlineMarker {
  ProcessingMarker kind = ProcessingMarker::kStart;
  int line = 0;               // line of its "<"
  ByteRange marker;           // "<" to ">" included
  std::size_t insert_at = 0;  // just after the ">": where the setter inserts its value
};

// A region already filled: the comment "<!--" name "-->" and, later, the comment "<!--/" name
// "-->", which is what the region rewrites leave. The queries no longer see such a region.
struct OutlineFilled {
  std::string name;
  int line = 0;     // line of the opening comment
  ByteRange range;  // from the "<" of the opening comment to the ">" of the closing one
};

// The keyword of a processing-marker kind in capitals, such as "QLXSTART".
inline const char* MarkerKeyword(ProcessingMarker kind) {
  switch (kind) {
    case ProcessingMarker::kStart:
      return "QLXSTART";
    case ProcessingMarker::kAnnotations:
      return "QLXANNOT";
    case ProcessingMarker::kUrl:
      return "QLXURL";
    case ProcessingMarker::kDbAccess:
      return "QLXDBACCESS";
  }
  return "";
}

struct Outline {
  std::vector<OutlineRegion> regions;  // by their opening elements, in document order
  std::vector<OutlineTitle> titles;
  std::vector<OutlineImage> images;
  OutlinePath path;
  std::vector<OutlineMarker> markers;  // the first of each kind present, in document order
  std::vector<OutlineFilled> filled;

  // True when an element named name opens a region (of the names outlined).
  bool HoldsRegion(std::string_view name) const {
    for (const OutlineRegion& region : regions) {
      if (region.name == name) return true;
    }
    return false;
  }
  // True when a processing marker of kind is present: where its setter would insert a value.
  bool HoldsMarker(ProcessingMarker kind) const {
    for (const OutlineMarker& marker : markers) {
      if (marker.kind == kind) return true;
    }
    return false;
  }
  // The line of the first region named name that is not closed (where a fill of it fails with
  // 10); 0 when every one closes or there is none.
  int UnclosedRegionLine(std::string_view name) const {
    for (const OutlineRegion& region : regions) {
      if (region.name == name && !region.closed) return region.line;
    }
    return 0;
  }
  // The line of the first view-name title that is not closed; 0 when every one closes.
  int UnclosedTitleLine() const {
    for (const OutlineTitle& title : titles) {
      if (!title.closed) return title.line;
    }
    return 0;
  }
};

// Outlines mask, read by the library's scanner as the queries and rewrites read a template
// (a CR LF line end reads as one line feed; comments and declarations hide what they hold).
// region_names adds names besides those beginning with "ZRT". Thread-safe; touches no file.
// Returns 0 with *outline filled, or 15 when memory runs out.
ZRTMASK_EXPORT int OutlineMask(std::string_view mask, const std::vector<std::string>& region_names,
                               Outline* outline);

}  // namespace zrtmask

#endif  // ZRTMASK_INCLUDE_ZRTMASK_OUTLINE_H_
