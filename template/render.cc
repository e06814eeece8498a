// The page render: a mask compiled once into the plan of its parts (template/mask_plan.h), then
// each fill rendered as runs of the mask's bytes and the texts that the fill puts between them.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "template/item_writer.h"
#include "template/mask_plan.h"
#include "template/outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// True when the mask's first line end is CR LF: inserted line ends follow it.
bool UsesCrLf(std::string_view mask) {
  const std::size_t line_feed = mask.find('\n');
  return line_feed != std::string_view::npos && line_feed > 0 && mask[line_feed - 1] == '\r';
}

bool StartsWithZrt(std::string_view name) { return name.size() >= 3 && name.substr(0, 3) == "ZRT"; }

// The order of a part among the parts that start and end at the same bytes: the order in which
// the fill's parts are taken (view name, regions, image, markers).
int Rank(PartKind kind) {
  switch (kind) {
    case PartKind::kTitle:
      return 0;
    case PartKind::kRegion:
      return 1;
    case PartKind::kImageOpening:
    case PartKind::kImageClosing:
    case PartKind::kImageSource:
    case PartKind::kImageWidth:
    case PartKind::kImageHeight:
      return 2;
    case PartKind::kMarker:
      return 3;
  }
  return 4;
}

// Appends a replacement text to a page's scratch, its line feeds written as the mask's line
// ends. Regions, titles and the image follow the item rewrites (a line feed after a CR stays
// as it is); marker values follow the marker rewrites (every line feed becomes CR LF).
class TextMaker {
 public:
  TextMaker(std::string* out, bool crlf, bool after_cr)
      : out_(*out), crlf_(crlf), after_cr_(after_cr) {}

  void Raw(std::string_view text) {
    if (!crlf_) {
      out_.append(text);
      return;
    }
    std::size_t at = 0;
    while (at < text.size()) {
      const void* found = std::memchr(text.data() + at, '\n', text.size() - at);
      const std::size_t line_feed =
          found == nullptr ? text.size()
                           : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
      if (line_feed > at) {
        out_.append(text.data() + at, line_feed - at);
        previous_ = text[line_feed - 1];
      }
      if (line_feed == text.size()) break;
      if (after_cr_ || previous_ != '\r') out_ += '\r';
      out_ += '\n';
      previous_ = '\n';
      at = line_feed + 1;
    }
  }

  // text with the EscapeRule bits of rules applied (as ItemWriter::Escape), then as Raw.
  void Escaped(std::string_view text, unsigned rules) {
    std::size_t run = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
      const char byte = text[at];
      const char* replacement = nullptr;
      if ((byte == '<' || byte == '>') && (rules & kEscapeAngles) != 0) {
        replacement = byte == '<' ? "&lt;" : "&gt;";
      } else if (byte == '\n' && (rules & kLineFeedsAsBreaks) != 0) {
        replacement = "<BR>";
      } else if (byte == '"' && (rules & kEscapeQuotes) != 0) {
        replacement = "&quot;";
      }
      if (replacement == nullptr) continue;
      Raw(text.substr(run, at - run));
      Raw(replacement);
      run = at + 1;
    }
    Raw(text.substr(run));
  }

 private:
  std::string& out_;
  const bool crlf_;
  const bool after_cr_;
  char previous_ = 0;
};

// A text made in the scratch: its offset and size there.
struct Made {
  std::size_t offset = 0;
  std::size_t size = 0;
};

const char* MarkerKeyword(ProcessingMarker kind) {
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

// The line of offset in mask (the first line is 1).
int LineOf(std::string_view mask, std::size_t offset) {
  return 1 + static_cast<int>(std::count(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(
                                                                          std::min(offset, mask.size())),
                                         '\n'));
}

class Renderer {
 public:
  Renderer(const Mask::Plan& plan, const PageFill& fill, PageRuns* runs, RenderProblem* problem)
      : plan_(plan), fill_(fill), runs_(*runs), problem_(problem) {}

  int Run() {
    runs_.scratch.clear();
    runs_.spans.clear();
    runs_.size = 0;
    int code = CheckViewName();
    if (code == kOk) code = CheckRegions();
    if (code == kOk) code = CheckImage();
    if (code == kOk) code = CheckMarkers();
    if (code != kOk) return code;
    MakeTexts();
    Assemble();
    return kOk;
  }

 private:
  // line: the line of the part not closed (0: found from unclosed_at), for a code 10.
  int Fail(int code, RenderProblem::Part part, std::string name, std::size_t unclosed_at,
           int line = 0) {
    if (problem_ != nullptr) {
      problem_->part = part;
      problem_->name = std::move(name);
      if (code == kRegionNotClosed) {
        problem_->line = line > 0 ? line : LineOf(plan_.mask, unclosed_at);
      }
    }
    return code;
  }

  const PlanName* FindName(std::string_view name) const {
    const auto found =
        std::lower_bound(plan_.names.begin(), plan_.names.end(), name,
                         [](const PlanName& entry, std::string_view key) { return entry.name < key; });
    return found != plan_.names.end() && found->name == name ? &*found : nullptr;
  }

  int CheckViewName() {
    if (!fill_.view_name) return kOk;
    const std::vector<OutlineTitle>& titles = plan_.outline.titles;
    if (titles.empty()) return Fail(kNotInMask, RenderProblem::Part::kViewNameTitle, "", 0);
    if (!titles.back().closed) {
      // The title's "<" lies before its text, on the line of the last "<" before it.
      const std::size_t text = titles.back().text.begin;
      const std::size_t less_than = plan_.mask.rfind('<', text == 0 ? 0 : text - 1);
      return Fail(kRegionNotClosed, RenderProblem::Part::kViewNameTitle, "",
                  less_than == std::string_view::npos ? text : less_than, titles.back().line);
    }
    return kOk;
  }

  // 10 when a region of the name is not closed, 11 when there is none.
  int CheckRegionName(std::string_view name, RenderProblem::Part part) {
    const PlanName* entry = FindName(name);
    if (entry != nullptr && entry->first_unclosed >= 0) {
      const OutlineRegion& region =
          plan_.outline.regions[static_cast<std::size_t>(entry->first_unclosed)];
      return Fail(kRegionNotClosed, part, std::string(name), region.opening.begin, region.line);
    }
    if (entry == nullptr) return Fail(kNotInMask, part, std::string(name), 0);
    return kOk;
  }

  int CheckRegions() {
    filled_names_.reserve(fill_.regions.size());
    for (std::size_t i = 0; i < fill_.regions.size(); ++i) {
      const std::string& name = fill_.regions[i].name;
      const int code = CheckRegionName(name, RenderProblem::Part::kRegion);
      if (code != kOk) return code;
      const auto index = static_cast<std::uint32_t>(FindName(name) - plan_.names.data());
      // The first fill of a name is the one its regions get.
      if (std::none_of(filled_names_.begin(), filled_names_.end(),
                       [index](const auto& entry) { return entry.first == index; })) {
        filled_names_.push_back({index, i});
      }
    }
    std::sort(filled_names_.begin(), filled_names_.end());
    return kOk;
  }

  int CheckImage() {
    if (!fill_.image) return kOk;
    const int code = CheckRegionName("ZRTImage", RenderProblem::Part::kImageRegion);
    if (code != kOk) return code;
    if (plan_.outline.images.empty()) {
      return Fail(kNotInMask, RenderProblem::Part::kImageElement, "", 0);
    }
    return kOk;
  }

  const std::optional<std::string>& MarkerValue(ProcessingMarker kind) const {
    switch (kind) {
      case ProcessingMarker::kStart:
        return fill_.start;
      case ProcessingMarker::kAnnotations:
        return fill_.annotations;
      case ProcessingMarker::kUrl:
        return fill_.url;
      case ProcessingMarker::kDbAccess:
        break;
    }
    return fill_.db_access;
  }

  int CheckMarkers() {
    for (ProcessingMarker kind : {ProcessingMarker::kStart, ProcessingMarker::kAnnotations,
                                  ProcessingMarker::kUrl, ProcessingMarker::kDbAccess}) {
      if (!MarkerValue(kind)) continue;
      const bool found = std::any_of(plan_.outline.markers.begin(), plan_.outline.markers.end(),
                                     [kind](const OutlineMarker& m) { return m.kind == kind; });
      if (!found) return Fail(kNotInMask, RenderProblem::Part::kMarker, MarkerKeyword(kind), 0);
    }
    return kOk;
  }

  template <typename Make>
  Made MakeText(bool after_cr, Make make) {
    Made made;
    made.offset = runs_.scratch.size();
    TextMaker maker(&runs_.scratch, plan_.crlf, after_cr);
    make(maker);
    made.size = runs_.scratch.size() - made.offset;
    return made;
  }

  void MakeTexts() {
    std::size_t estimate = 0;
    if (fill_.view_name) estimate += fill_.view_name->size() + 16;
    for (const RegionFill& region : fill_.regions) estimate += region.text.size() * 5 / 4 + 48;
    if (fill_.image) estimate += fill_.image->source.size() + 48;
    for (const auto* value : {&fill_.start, &fill_.annotations, &fill_.url, &fill_.db_access}) {
      if (*value) estimate += (*value)->size() + 8;
    }
    runs_.scratch.reserve(estimate);
    if (fill_.view_name) {
      view_name_ = MakeText(false, [&](TextMaker& out) {
        out.Escaped(*fill_.view_name, kEscapeAngles);
      });
    }
    region_texts_.reserve(filled_names_.size());
    for (const auto& [name_index, fill_index] : filled_names_) {
      const RegionFill& region = fill_.regions[fill_index];
      region_texts_.push_back(MakeText(false, [&](TextMaker& out) {
        out.Raw("<!--");
        out.Raw(region.name);
        out.Raw("-->");
        if (region.html) {
          out.Raw(region.text);
        } else {
          out.Escaped(region.text, kEscapeAngles | kLineFeedsAsBreaks);
          out.Raw("<BR>");
        }
        out.Raw("<!--/");
        out.Raw(region.name);
        out.Raw("-->");
      }));
    }
    if (fill_.image) {
      const ImageFill& image = *fill_.image;
      image_texts_[0] = MakeText(false, [&](TextMaker& out) {
        out.Raw("=\"");
        out.Escaped(image.source, kEscapeQuotes);
        out.Raw("\"");
      });
      image_texts_[1] = MakeText(false, [&](TextMaker& out) {
        out.Raw("=\"" + std::to_string(image.width) + "\"");
      });
      image_texts_[2] = MakeText(false, [&](TextMaker& out) {
        out.Raw("=\"" + std::to_string(image.height) + "\"");
      });
    }
    for (ProcessingMarker kind : {ProcessingMarker::kStart, ProcessingMarker::kAnnotations,
                                  ProcessingMarker::kUrl, ProcessingMarker::kDbAccess}) {
      const std::optional<std::string>& value = MarkerValue(kind);
      if (!value) continue;
      // As the marker rewrite writes it: every line feed, also one after a CR, as the mask's
      // line end, so that a value ending in CR keeps it.
      marker_texts_[static_cast<int>(kind)] = MakeText(true, [&](TextMaker& out) {
        out.Raw("\n");
        out.Raw(*value);
        out.Raw("\n");
      });
    }
  }

  // The text of part for this fill, or false when the fill leaves it as it is.
  bool TextOf(const PlanPart& part, Made* text) const {
    switch (part.kind) {
      case PartKind::kTitle:
        *text = view_name_;
        return fill_.view_name.has_value();
      case PartKind::kRegion: {
        const auto found = std::lower_bound(
            filled_names_.begin(), filled_names_.end(), part.index,
            [](const std::pair<std::uint32_t, std::size_t>& entry, std::uint32_t key) {
              return entry.first < key;
            });
        if (found == filled_names_.end() || found->first != part.index) return false;
        *text = region_texts_[static_cast<std::size_t>(found - filled_names_.begin())];
        return true;
      }
      case PartKind::kImageOpening:
      case PartKind::kImageClosing:
        return fill_.image.has_value();
      case PartKind::kImageSource:
        *text = image_texts_[0];
        return fill_.image.has_value();
      case PartKind::kImageWidth:
        *text = image_texts_[1];
        return fill_.image.has_value();
      case PartKind::kImageHeight:
        *text = image_texts_[2];
        return fill_.image.has_value();
      case PartKind::kMarker:
        *text = marker_texts_[part.index];
        return MarkerValue(static_cast<ProcessingMarker>(part.index)).has_value();
    }
    return false;
  }

  void Add(const char* data, std::size_t size) {
    if (size == 0) return;
    runs_.spans.push_back({data, size});
    runs_.size += size;
  }

  // The mask's bytes in runs around the parts filled, in order; a part that starts inside one
  // filled before it goes with that one.
  void Assemble() {
    static constexpr std::string_view kImageOpening = "<!--ZRTImage-->";
    static constexpr std::string_view kImageClosing = "<!--/ZRTImage-->";
    const char* mask = plan_.mask.data();
    const char* scratch = runs_.scratch.data();
    std::size_t copied = 0;
    for (const PlanPart& part : plan_.parts) {
      if (part.begin < copied) continue;
      Made text;
      if (!TextOf(part, &text)) continue;
      Add(mask + copied, part.begin - copied);
      if (part.kind == PartKind::kImageOpening) {
        Add(kImageOpening.data(), kImageOpening.size());
      } else if (part.kind == PartKind::kImageClosing) {
        Add(kImageClosing.data(), kImageClosing.size());
      } else {
        Add(scratch + text.offset, text.size);
      }
      copied = part.end;
    }
    Add(mask + copied, plan_.mask.size() - copied);
  }

  const Mask::Plan& plan_;
  const PageFill& fill_;
  PageRuns& runs_;
  RenderProblem* problem_;
  std::vector<std::pair<std::uint32_t, std::size_t>> filled_names_;  // name index, fill index
  std::vector<Made> region_texts_;                                   // as filled_names_
  Made view_name_;
  Made image_texts_[3];   // source, width, height
  Made marker_texts_[9];  // by ProcessingMarker value
};

// True when every region the fill names was outlined by plan (a name that plan does not hold is
// then surely not in the mask).
bool PlanKnowsNames(const Mask::Plan& plan, const PageFill& fill) {
  for (const RegionFill& region : fill.regions) {
    if (StartsWithZrt(region.name) || region.name.empty()) continue;
    if (std::find(plan.extra_names.begin(), plan.extra_names.end(), region.name) ==
        plan.extra_names.end()) {
      return false;
    }
  }
  return true;
}

unsigned MarkerKinds(const PageFill& fill) {
  unsigned kinds = 0;
  if (fill.start) kinds |= MarkerBit(ProcessingMarker::kStart);
  if (fill.annotations) kinds |= MarkerBit(ProcessingMarker::kAnnotations);
  if (fill.url) kinds |= MarkerBit(ProcessingMarker::kUrl);
  if (fill.db_access) kinds |= MarkerBit(ProcessingMarker::kDbAccess);
  return kinds;
}

std::vector<std::string> ExtraNames(const PageFill& fill) {
  std::vector<std::string> names;
  for (const RegionFill& region : fill.regions) {
    if (!StartsWithZrt(region.name) && !region.name.empty() &&
        std::find(names.begin(), names.end(), region.name) == names.end()) {
      names.push_back(region.name);
    }
  }
  return names;
}

// Renders fill over plan, or, when the fill names a region that plan did not outline (a name not
// beginning with "ZRT"), over a plan outlined with those names too.
int RenderWithPlan(const Mask::Plan& plan, const PageFill& fill, PageRuns* runs,
                   RenderProblem* problem) {
  if (problem != nullptr) *problem = RenderProblem();
  if (PlanKnowsNames(plan, fill)) return Renderer(plan, fill, runs, problem).Run();
  // Such a name changes what the outline reads (it may name a title or an image element), so
  // the mask is outlined again with it.
  auto wider = std::make_unique<Mask::Plan>();
  const int code = BuildPlan(plan.mask, ExtraNames(fill), kEveryMarker, false, wider.get());
  if (code != kOk) return code;
  wider->crlf = plan.crlf;
  return Renderer(*wider, fill, runs, problem).Run();
}

void Concatenate(const PageRuns& runs, std::string* page) {
  page->clear();
  page->reserve(runs.size);
  for (const ByteSpan& span : runs.spans) page->append(span.data, span.size);
}

}  // namespace

int BuildPlan(std::string_view mask, const std::vector<std::string>& extra_names,
              unsigned marker_kinds, bool with_lines, Mask::Plan* plan) {
  plan->mask = mask;
  plan->crlf = UsesCrLf(mask);
  plan->extra_names = extra_names;
  const int code = BuildOutline(mask, extra_names, marker_kinds, with_lines, &plan->outline);
  if (code != kOk) return code;
  const Outline& outline = plan->outline;
  // The names, sorted, each with its count and its first unclosed region.
  for (const OutlineRegion& region : outline.regions) plan->names.push_back({region.name});
  std::sort(plan->names.begin(), plan->names.end(),
            [](const PlanName& a, const PlanName& b) { return a.name < b.name; });
  plan->names.erase(std::unique(plan->names.begin(), plan->names.end(),
                                [](const PlanName& a, const PlanName& b) { return a.name == b.name; }),
                    plan->names.end());
  auto name_index = [plan](const std::string& name) {
    const auto found =
        std::lower_bound(plan->names.begin(), plan->names.end(), name,
                         [](const PlanName& entry, const std::string& key) { return entry.name < key; });
    return static_cast<std::uint32_t>(found - plan->names.begin());
  };
  // The parts in the order in which a render of every part would list them; the sort below
  // keeps that order among parts that start and end at the same bytes.
  std::vector<PlanPart>& parts = plan->parts;
  for (const OutlineTitle& title : outline.titles) {
    parts.push_back({title.text.begin, title.text.end, PartKind::kTitle, 0});
  }
  for (std::size_t i = 0; i < outline.regions.size(); ++i) {
    const OutlineRegion& region = outline.regions[i];
    const std::uint32_t index = name_index(region.name);
    PlanName& entry = plan->names[index];
    ++entry.count;
    if (!region.closed && entry.first_unclosed < 0) {
      entry.first_unclosed = static_cast<std::ptrdiff_t>(i);
    }
    parts.push_back({region.opening.begin, region.closing.end, PartKind::kRegion, index});
  }
  for (const OutlineRegion& region : outline.regions) {
    if (region.name != "ZRTImage") continue;
    parts.push_back({region.opening.begin, region.opening.end, PartKind::kImageOpening, 0});
    parts.push_back({region.closing.begin, region.closing.end, PartKind::kImageClosing, 0});
  }
  for (const OutlineImage& image : outline.images) {
    for (const OutlineImageAttribute& attribute : image.attributes) {
      const std::string& name = attribute.name;
      const PartKind kind = name == "SRC" || name == "src"       ? PartKind::kImageSource
                            : name == "WIDTH" || name == "width" ? PartKind::kImageWidth
                                                                 : PartKind::kImageHeight;
      parts.push_back({attribute.value.begin, attribute.value.end, kind, 0});
    }
  }
  for (ProcessingMarker kind : {ProcessingMarker::kStart, ProcessingMarker::kAnnotations,
                                ProcessingMarker::kUrl, ProcessingMarker::kDbAccess}) {
    for (const OutlineMarker& marker : outline.markers) {
      if (marker.kind != kind) continue;
      parts.push_back({marker.insert_at, marker.insert_at, PartKind::kMarker,
                       static_cast<std::uint32_t>(kind)});
    }
  }
  // An insertion comes before a replacement that starts where it is, a longer replacement before
  // a shorter one; then the order of the fill's parts.
  std::stable_sort(parts.begin(), parts.end(), [](const PlanPart& a, const PlanPart& b) {
    if (a.begin != b.begin) return a.begin < b.begin;
    const bool a_inserts = a.begin == a.end;
    const bool b_inserts = b.begin == b.end;
    if (a_inserts != b_inserts) return a_inserts;
    if (a.end != b.end) return a.end > b.end;
    return Rank(a.kind) < Rank(b.kind);
  });
  return kOk;
}

int RenderRuns(const Mask::Plan& plan, const PageFill& fill, PageRuns* runs,
               RenderProblem* problem) {
  return RenderWithPlan(plan, fill, runs, problem);
}

int RenderPage(std::string_view mask, const PageFill& fill, std::string* page,
               RenderProblem* problem) {
  if (problem != nullptr) *problem = RenderProblem();
  if (page == nullptr) return kOpenFailed;
  try {
    // Only what this fill names is outlined: a compile for one render.
    Mask::Plan plan;
    int code = BuildPlan(mask, ExtraNames(fill), MarkerKinds(fill), false, &plan);
    PageRuns runs;
    if (code == kOk) code = Renderer(plan, fill, &runs, problem).Run();
    if (code == kOk) Concatenate(runs, page);
    return code;
  } catch (...) {
    return kOpenFailed;
  }
}

int RenderPage(std::string_view mask, const PageFill& fill, std::string* page) {
  return RenderPage(mask, fill, page, nullptr);
}

Mask::Mask() {
  auto plan = std::make_shared<Plan>();
  BuildPlan(plan->owned, {}, kEveryMarker, true, plan.get());
  plan_ = std::move(plan);
}

int Mask::FromBytes(std::string_view bytes, Mask* mask) {
  if (mask == nullptr) return kOpenFailed;
  try {
    auto plan = std::make_shared<Plan>();
    plan->owned.assign(bytes.data(), bytes.size());
    const int code = BuildPlan(plan->owned, {}, kEveryMarker, true, plan.get());
    if (code != kOk) return code;
    mask->plan_ = std::move(plan);
    return kOk;
  } catch (...) {
    return kOpenFailed;
  }
}

int Mask::FromFile(const char* path, Mask* mask) {
  if (mask == nullptr) return kOpenFailed;
  try {
    auto plan = std::make_shared<Plan>();
    int code = ReadMaskFile(path, &plan->owned, &plan->mode);
    if (code == kOk) code = BuildPlan(plan->owned, {}, kEveryMarker, true, plan.get());
    if (code != kOk) return code;
    mask->plan_ = std::move(plan);
    return kOk;
  } catch (...) {
    return kOpenFailed;
  }
}

int Mask::Render(const PageFill& fill, std::string* page, RenderProblem* problem) const {
  if (problem != nullptr) *problem = RenderProblem();
  if (page == nullptr) return kOpenFailed;
  try {
    PageRuns runs;
    const int code = RenderWithPlan(*plan_, fill, &runs, problem);
    if (code == kOk) Concatenate(runs, page);
    return code;
  } catch (...) {
    return kOpenFailed;
  }
}

const Outline& Mask::outline() const { return plan_->outline; }

std::string_view Mask::bytes() const { return plan_->mask; }

}  // namespace zrtmask
