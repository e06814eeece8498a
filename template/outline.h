// Building a mask's outline, for the render and the public OutlineMask.
#ifndef ZRTMASK_TEMPLATE_OUTLINE_H_
#define ZRTMASK_TEMPLATE_OUTLINE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "zrtmask_outline.h"

namespace zrtmask {

// The bit of a processing-marker kind in BuildOutline's marker_kinds.
constexpr unsigned MarkerBit(ProcessingMarker kind) { return 1u << static_cast<int>(kind); }
constexpr unsigned kEveryMarker =
    MarkerBit(ProcessingMarker::kStart) | MarkerBit(ProcessingMarker::kAnnotations) |
    MarkerBit(ProcessingMarker::kUrl) | MarkerBit(ProcessingMarker::kDbAccess);

// Outlines mask into *outline (emptied first), looking for the processing markers whose bits
// are set in marker_kinds only; the lines are left 0 unless with_lines is set. Returns 0, or 15
// when the scanner cannot be had. May throw std::bad_alloc.
int BuildOutline(std::string_view mask, const std::vector<std::string>& region_names,
                 unsigned marker_kinds, bool with_lines, Outline* outline);

// Where the marker setters put a value of kind into mask: the first marker of that kind, found
// by their rules (its line left 0). Returns false when there is none.
bool FindProcessingMarker(std::string_view mask, ProcessingMarker kind, OutlineMarker* marker);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_OUTLINE_H_
