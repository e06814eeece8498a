// The plan of a compiled mask: its outline and every part a fill may replace, sorted once in the
// order in which a render meets them, with an index of the regions by name.
#ifndef ZRTMASK_TEMPLATE_MASK_PLAN_H_
#define ZRTMASK_TEMPLATE_MASK_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform.h"
#include "zrtmask_mask.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"

namespace zrtmask {

// What a part of the plan is, in the order in which the replacements of one place are taken
// when they start and end at the same bytes.
enum class PartKind : std::uint8_t {
  kTitle,         // the view-name title's text
  kRegion,        // a whole region, opening to closing element
  kImageOpening,  // the opening element of a "ZRTImage" region
  kImageClosing,  // its closing element
  kImageSource,   // an image attribute's "=" and value
  kImageWidth,
  kImageHeight,
  kMarker,  // the insertion after a processing marker
};

struct PlanPart {
  std::size_t begin;
  std::size_t end;
  PartKind kind;
  std::uint32_t index;  // kRegion: the name's index; kMarker: the ProcessingMarker value
};

// The regions of one name.
struct PlanName {
  std::string name;
  std::size_t count = 0;
  std::ptrdiff_t first_unclosed = -1;  // index into the outline's regions, or -1
};

struct Mask::Plan {
  std::string owned;      // the bytes, when the plan holds them
  std::string_view mask;  // the bytes outlined
  bool crlf = false;      // inserted line ends are CR LF
  unsigned mode = 0644;   // a new page's mode
  Outline outline;
  std::vector<std::string> extra_names;  // names outlined besides those beginning with "ZRT"
  std::vector<PlanName> names;           // sorted by name
  std::vector<PlanPart> parts;           // in render order
};

// The plan inside a Mask, for the library's own code.
struct MaskAccess {
  static const Mask::Plan& PlanOf(const Mask& mask) { return *mask.plan_; }
};

// Builds plan over mask (which must outlive it, or be plan->owned): the outline with the regions
// of extra_names too and the processing markers of marker_kinds, lines when with_lines. Returns 0
// or 15. May throw std::bad_alloc.
int BuildPlan(std::string_view mask, const std::vector<std::string>& extra_names,
              unsigned marker_kinds, bool with_lines, Mask::Plan* plan);

// A rendered page as runs of bytes: the mask's own and the texts made for this render (held in
// scratch, which must not change while the spans are used).
struct PageRuns {
  std::string scratch;
  std::vector<ByteSpan> spans;
  std::size_t size = 0;
};

// Renders fill over plan into *runs. Returns RenderPage's codes, *problem set on 10 and 11.
// May throw std::bad_alloc.
int RenderRuns(const Mask::Plan& plan, const PageFill& fill, PageRuns* runs,
               RenderProblem* problem);

// Reads the regular file at path under a shared lock into *bytes, its permission bits into *mode.
// Returns 0; 22 missing, 21 unreadable or not a regular file; 15 otherwise.
int ReadMaskFile(const char* path, std::string* bytes, unsigned* mode);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_MASK_PLAN_H_
