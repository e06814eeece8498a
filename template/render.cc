// The page render: one outline of the mask, then the mask's bytes copied in spans around the
// parts that the fill replaces.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "template/item_writer.h"
#include "template/outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// One filled part: the mask's bytes [begin, end) give way to text.
struct Replacement {
  std::size_t begin;
  std::size_t end;
  std::string text;
};

// True when the mask's first line end is CR LF: inserted line ends follow it.
bool UsesCrLf(std::string_view mask) {
  const std::size_t line_feed = mask.find('\n');
  return line_feed != std::string_view::npos && line_feed > 0 && mask[line_feed - 1] == '\r';
}

class PageRenderer {
 public:
  PageRenderer(std::string_view mask, const PageFill& fill)
      : mask_(mask), fill_(fill), crlf_(UsesCrLf(mask)) {}

  int Run(std::string* page) {
    std::vector<std::string> region_names;
    for (const RegionFill& region : fill_.regions) region_names.push_back(region.name);
    int code = BuildOutline(mask_, region_names, MarkerKinds(), /*with_lines=*/false, &outline_);
    if (code == kOk) code = FillViewName();
    if (code == kOk) code = FillRegions();
    if (code == kOk) code = FillImage();
    if (code == kOk) code = FillMarkers();
    if (code != kOk) return code;
    Assemble(page);
    return kOk;
  }

 private:
  unsigned MarkerKinds() const {
    unsigned kinds = 0;
    if (fill_.start) kinds |= MarkerBit(ProcessingMarker::kStart);
    if (fill_.annotations) kinds |= MarkerBit(ProcessingMarker::kAnnotations);
    if (fill_.url) kinds |= MarkerBit(ProcessingMarker::kUrl);
    if (fill_.db_access) kinds |= MarkerBit(ProcessingMarker::kDbAccess);
    return kinds;
  }

  // text with its line feeds as the mask's line ends.
  std::string WithLineEnds(std::string text) const {
    if (!crlf_ || text.find('\n') == std::string::npos) return text;
    std::string converted;
    converted.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted += '\r';
      converted += text[i];
    }
    return converted;
  }

  void Replace(ByteRange range, std::string text) {
    replacements_.push_back({range.begin, range.end, WithLineEnds(std::move(text))});
  }

  int FillViewName() {
    if (!fill_.view_name) return kOk;
    if (outline_.titles.empty()) return kNotInMask;
    if (!outline_.titles.back().closed) return kRegionNotClosed;
    const std::string name = ItemWriter::Escape(*fill_.view_name, kEscapeAngles);
    for (const OutlineTitle& title : outline_.titles) Replace(title.text, name);
    return kOk;
  }

  int FillRegions() {
    for (const RegionFill& fill : fill_.regions) {
      std::string filled = "<!--" + fill.name + "-->";
      if (fill.html) {
        filled += fill.text;
      } else {
        filled += ItemWriter::Escape(fill.text, kEscapeAngles | kLineFeedsAsBreaks);
        filled += "<BR>";
      }
      filled += "<!--/" + fill.name + "-->";
      const int code = ReplaceRegions(fill.name, [&](const OutlineRegion& region) {
        Replace({region.opening.begin, region.closing.end}, filled);
      });
      if (code != kOk) return code;
    }
    return kOk;
  }

  int FillImage() {
    if (!fill_.image) return kOk;
    const ImageFill& image = *fill_.image;
    const int code = ReplaceRegions("ZRTImage", [&](const OutlineRegion& region) {
      Replace(region.opening, "<!--ZRTImage-->");
      Replace(region.closing, "<!--/ZRTImage-->");
    });
    if (code != kOk) return code;
    if (outline_.images.empty()) return kNotInMask;
    const std::string source = ItemWriter::Escape(image.source, kEscapeQuotes);
    for (const OutlineImage& element : outline_.images) {
      for (const OutlineImageAttribute& attribute : element.attributes) {
        const std::string& name = attribute.name;
        std::string value = name == "SRC" || name == "src"       ? source
                            : name == "WIDTH" || name == "width" ? std::to_string(image.width)
                                                                 : std::to_string(image.height);
        Replace(attribute.value, "=\"" + value + "\"");
      }
    }
    return kOk;
  }

  int FillMarkers() {
    const std::pair<ProcessingMarker, const std::optional<std::string>*> values[] = {
        {ProcessingMarker::kStart, &fill_.start},
        {ProcessingMarker::kAnnotations, &fill_.annotations},
        {ProcessingMarker::kUrl, &fill_.url},
        {ProcessingMarker::kDbAccess, &fill_.db_access},
    };
    for (const auto& [kind, value] : values) {
      if (!*value) continue;
      const auto found =
          std::find_if(outline_.markers.begin(), outline_.markers.end(),
                       [kind = kind](const OutlineMarker& marker) { return marker.kind == kind; });
      if (found == outline_.markers.end()) return kNotInMask;
      Replace({found->insert_at, found->insert_at}, "\n" + **value + "\n");
    }
    return kOk;
  }

  // Calls fill for every region named name. Returns 0; 11 when there is none; 10 when the last
  // one is not closed.
  template <typename Fill>
  int ReplaceRegions(std::string_view name, Fill fill) {
    bool found = false;
    for (const OutlineRegion& region : outline_.regions) {
      if (region.name != name) continue;
      if (!region.closed) return kRegionNotClosed;
      found = true;
    }
    if (!found) return kNotInMask;
    for (const OutlineRegion& region : outline_.regions) {
      if (region.name == name) fill(region);
    }
    return kOk;
  }

  // Copies the mask with the replacements in place. An insertion comes before a replacement
  // that starts where it is; a part inside an earlier replaced one goes with it.
  void Assemble(std::string* page) {
    std::stable_sort(replacements_.begin(), replacements_.end(),
                     [](const Replacement& a, const Replacement& b) {
                       if (a.begin != b.begin) return a.begin < b.begin;
                       const bool a_inserts = a.begin == a.end;
                       const bool b_inserts = b.begin == b.end;
                       if (a_inserts != b_inserts) return a_inserts;
                       return a.end > b.end;
                     });
    std::size_t size = mask_.size();
    for (const Replacement& replacement : replacements_) size += replacement.text.size();
    std::string result;
    result.reserve(size);
    std::size_t copied = 0;
    for (const Replacement& replacement : replacements_) {
      if (replacement.begin < copied) continue;
      result.append(mask_.data() + copied, replacement.begin - copied);
      result += replacement.text;
      copied = replacement.end;
    }
    result.append(mask_.data() + copied, mask_.size() - copied);
    *page = std::move(result);
  }

  std::string_view mask_;
  const PageFill& fill_;
  const bool crlf_;
  Outline outline_;
  std::vector<Replacement> replacements_;
};

}  // namespace

int RenderPage(std::string_view mask, const PageFill& fill, std::string* page) {
  if (page == nullptr) return kOpenFailed;
  try {
    return PageRenderer(mask, fill).Run(page);
  } catch (...) {
    return kOpenFailed;
  }
}

}  // namespace zrtmask
