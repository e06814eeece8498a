// Rendering a page from its mask in one step: the view name, region texts, the image and the
// processing-marker values put into a copy of the mask, every other byte of which is kept. The
// file form publishes the page atomically: readers see the whole old page or the whole new one.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_RENDER_H_
#define ZRTMASK_INCLUDE_ZRTMASK_RENDER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zrtmask_export.h"

namespace zrtmask {

// The text of one marker region. Names are compared byte for byte, case included.
struct RegionFill {
  std::string name;  // the marker element's name, such as "ZRTSummary"
  std::string text;  // UTF-8
  // false: plain text, written as SetZRTTagContent writes it ("<" as "&lt;", ">" as "&gt;", a
  // line feed as "<BR>", and "<BR>" after it). true: HTML, written as it is, as
  // dumpZRTTagContent writes it.
  bool html = false;
};

// The picture of the "ZRTImage" region, as SetZRTImageName sets it.
struct ImageFill {
  std::string source;  // UTF-8; a double quote in it is written as "&quot;"
  int width = 0;
  int height = 0;
};

// What a render puts into the mask. Every part left empty (std::nullopt, no regions) keeps the
// mask's bytes; an empty fill gives back the mask byte for byte.
struct PageFill {
  std::optional<std::string> view_name;  // UTF-8; "<" and ">" are written as "&lt;", "&gt;"
  std::vector<RegionFill> regions;
  std::optional<ImageFill> image;
  // The processing-marker values (UTF-8), as SetZRTStart, SetZRTAnnotations, SetZRTURL and
  // SetZRTDBAccess write them.
  std::optional<std::string> start;
  std::optional<std::string> annotations;
  std::optional<std::string> url;
  std::optional<std::string> db_access;
};

// What each filled part of the page is, with offsets into the mask (all other bytes are copied):
// - View name: in every title that SetZRTViewName fills (the first "title" or "TITLE" element
//   after a "ZRTViewName" element), the bytes after the title element's ">" up to the "<" of
//   its closing element are replaced by the name. The title elements themselves stay.
// - Region: from the "<" of the opening marker element to the ">" of the closing one, both
//   included, the bytes are replaced by "<!--" name "-->", the content and "<!--/" name "-->".
//   Every region of that name is filled. Attributes of the marker elements are not kept.
// - Image: each "ZRTImage" region's opening and closing elements become "<!--ZRTImage-->" and
//   "<!--/ZRTImage-->"; in each "IMG" or "img" element inside it, the value of each attribute
//   "SRC"/"src", "WIDTH"/"width" and "HEIGHT"/"height" (from the end of its name: "=", blanks,
//   quotes and value; nothing for an attribute without a value) becomes "=" and the new value
//   in double quotes. Nothing else in the region changes; attributes are never added.
// - Processing marker: after the ">" of the first marker of the kind, a line end, the value and
//   a line end are inserted. Line ends inserted (and line feeds in inserted values and HTML)
//   are CR LF when the mask's first line end is CR LF.
// A part that lies inside a filled region (a title, a marker) goes with the region's old content.
//
// Renders the page from mask and fill into *page. Thread-safe; touches no file. Returns 0; 11
// when a region, the view-name title, the image region or its image element, or a processing
// marker named in fill is not in the mask; 10 when such a region or title is not closed; 15 when
// memory runs out. *page is changed only on 0.
ZRTMASK_EXPORT int RenderPage(std::string_view mask, const PageFill& fill, std::string* page);

// Renders the page from the mask file at mask_path (read once, under a shared lock, as a query
// reads a template) and publishes it at page_path: the page is written into a new file of its own
// in page_path's directory (unnamed where the file system allows, else a hidden name), made
// mode 0600, flushed to disk, given its final mode, renamed over page_path, and the directory is
// flushed. The page keeps the mode of the page it replaces (and, for root, its owner and group);
// a new page gets the mask's mode; the setuid, setgid and sticky bits are never set. A link at
// page_path is replaced by the page, never followed; hard links to the old page keep the old
// text. Leftovers of dead publishers of this page (files of this user) are removed. Needs no
// temporary directory.
// Returns 0; 22 when the mask does not exist, 21 when it cannot be read or is not a regular file
// (a FIFO, a device, a directory); 11 or 10 as RenderPage; 8 when the page's directory is not
// writable (or missing), 9 when its disk is full, 15 otherwise. On every failure the previous
// page is untouched and no file is left behind, except a 15 from flushing the directory after
// the rename: the new page is then in place, but may not survive a crash.
ZRTMASK_EXPORT int PublishPage(const char* mask_path, const char* page_path, const PageFill& fill);

// The part of a fill that a render found missing (11) or not closed (10).
struct RenderProblem {
  enum class Part : int {
    kNone,           // the render succeeded, or failed for another cause
    kViewNameTitle,  // the title after a "ZRTViewName" element
    kRegion,         // the region `name`
    kImageRegion,    // the region "ZRTImage"
    kImageElement,   // an "IMG" or "img" element inside the "ZRTImage" region
    kMarker,  // the processing marker `name` ("QLXSTART", "QLXANNOT", "QLXURL", "QLXDBACCESS")
  };
  Part part = Part::kNone;
  std::string name;  // the region's name or the marker's keyword; empty for the other parts
  int line = 0;      // for a part not closed: the line of its opening element; else 0
};

// As above; on 10 or 11, *problem (when not null) says which part. Otherwise it is reset.
ZRTMASK_EXPORT int RenderPage(std::string_view mask, const PageFill& fill, std::string* page,
                              RenderProblem* problem);
ZRTMASK_EXPORT int PublishPage(const char* mask_path, const char* page_path, const PageFill& fill,
                               RenderProblem* problem);

}  // namespace zrtmask

#endif  // ZRTMASK_INCLUDE_ZRTMASK_RENDER_H_
