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

#include "base/failures.h"
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

// What each byte becomes under a set of EscapeRule bits; null for a byte kept as it is.
struct EscapeTable {
  const char* replacement[256] = {};

  static const EscapeTable& For(unsigned rules) {
    static const EscapeTable kTables[8] = {Make(0), Make(1), Make(2), Make(3),
                                           Make(4), Make(5), Make(6), Make(7)};
    return kTables[rules & 7u];
  }
  static EscapeTable Make(unsigned rules) {
    EscapeTable table;
    if ((rules & kEscapeAngles) != 0) {
      table.replacement[static_cast<unsigned char>('<')] = "&lt;";
      table.replacement[static_cast<unsigned char>('>')] = "&gt;";
    }
    if ((rules & kLineFeedsAsBreaks) != 0)
      table.replacement[static_cast<unsigned char>('\n')] = "<BR>";
    if ((rules & kEscapeQuotes) != 0) table.replacement[static_cast<unsigned char>('"')] = "&quot;";
    return table;
  }
};

// Appends a replacement text to a page (or its scratch), its line feeds written as the mask's line
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
          found == nullptr
              ? text.size()
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
    const EscapeTable& table = EscapeTable::For(rules);
    std::size_t run = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
      const char* replacement = table.replacement[static_cast<unsigned char>(text[at])];
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

// The line of offset in mask (the first line is 1).
int LineOf(std::string_view mask, std::size_t offset) {
  return 1 + static_cast<int>(std::count(
                 mask.begin(),
                 mask.begin() + static_cast<std::ptrdiff_t>(std::min(offset, mask.size())), '\n'));
}

// Which region fill each filled name takes: the first of that name, by name index. Most fills
// name a few regions, kept without an allocation.
class FilledNames {
 public:
  using Entry = std::pair<std::uint32_t, std::size_t>;  // name index, fill index
  void Add(std::uint32_t name, std::size_t fill) {
    if (Find(name) != nullptr) return;
    if (count_ < kInline) {
      inline_[count_++] = {name, fill};
    } else {
      more_.push_back({name, fill});
    }
  }
  const Entry* Find(std::uint32_t name) const {
    for (std::size_t i = 0; i < count_; ++i) {
      if (inline_[i].first == name) return &inline_[i];
    }
    for (const Entry& entry : more_) {
      if (entry.first == name) return &entry;
    }
    return nullptr;
  }
  bool empty() const { return count_ == 0; }

 private:
  static constexpr std::size_t kInline = 8;
  Entry inline_[kInline];
  std::size_t count_ = 0;
  std::vector<Entry> more_;
};

class Renderer {
 public:
  Renderer(const Mask::Plan& plan, const PageFill& fill, RenderProblem* problem)
      : plan_(plan), fill_(fill), problem_(problem) {}

  // Checks the fill against the plan. Returns 0, or 10 or 11 with the problem set.
  int Check() {
    int code = CheckViewName();
    if (code == kOk) code = CheckRegions();
    if (code == kOk) code = CheckImage();
    if (code == kOk) code = CheckMarkers();
    return code;
  }

  // Writes the page into *page (its capacity reused): each text made in place.
  void WritePage(std::string* page) const {
    page->clear();
    page->reserve(plan_.mask.size() + Estimate());
    Walk([page](const char* data, std::size_t size) { page->append(data, size); },
         [this, page](const PlanPart& part) { WriteText(part, page); });
  }

  // Writes the page as runs: the texts made once into the scratch, then the spans.
  void WriteRuns(PageRuns* runs) const {
    runs->scratch.clear();
    runs->spans.clear();
    runs->size = 0;
    runs->scratch.reserve(Estimate());
    // Every text is made before any span points into the scratch.
    std::vector<std::pair<const PlanPart*, std::pair<std::size_t, std::size_t>>> made;
    Walk([](const char*, std::size_t) {},
         [&](const PlanPart& part) {
           const std::size_t offset = runs->scratch.size();
           WriteText(part, &runs->scratch);
           made.push_back({&part, {offset, runs->scratch.size() - offset}});
         });
    std::size_t next = 0;
    auto add = [runs](const char* data, std::size_t size) {
      if (size == 0) return;
      runs->spans.push_back({data, size});
      runs->size += size;
    };
    Walk(add, [&](const PlanPart&) {
      const auto& [offset, size] = made[next++].second;
      add(runs->scratch.data() + offset, size);
    });
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
    const auto found = std::lower_bound(
        plan_.names.begin(), plan_.names.end(), name,
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
    for (std::size_t i = 0; i < fill_.regions.size(); ++i) {
      const std::string& name = fill_.regions[i].name;
      const int code = CheckRegionName(name, RenderProblem::Part::kRegion);
      if (code != kOk) return code;
      // The first fill of a name is the one its regions get.
      filled_names_.Add(static_cast<std::uint32_t>(FindName(name) - plan_.names.data()), i);
    }
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

  // Bytes the fill's texts add, about.
  std::size_t Estimate() const {
    std::size_t estimate = 0;
    if (fill_.view_name) estimate += fill_.view_name->size() + 16;
    for (const RegionFill& region : fill_.regions) estimate += region.text.size() * 5 / 4 + 48;
    if (fill_.image) estimate += fill_.image->source.size() + 48;
    for (const auto* value : {&fill_.start, &fill_.annotations, &fill_.url, &fill_.db_access}) {
      if (*value) estimate += (*value)->size() + 8;
    }
    return estimate;
  }

  // True when the fill replaces part.
  bool Filled(const PlanPart& part) const {
    switch (part.kind) {
      case PartKind::kTitle:
        return fill_.view_name.has_value();
      case PartKind::kRegion:
        return !filled_names_.empty() && filled_names_.Find(part.index) != nullptr;
      case PartKind::kImageOpening:
      case PartKind::kImageClosing:
      case PartKind::kImageSource:
      case PartKind::kImageWidth:
      case PartKind::kImageHeight:
        return fill_.image.has_value();
      case PartKind::kMarker:
        return MarkerValue(static_cast<ProcessingMarker>(part.index)).has_value();
    }
    return false;
  }

  // Appends the text that replaces part to *out.
  void WriteText(const PlanPart& part, std::string* out) const {
    // Marker values follow the marker rewrites: every line feed, also one after a CR, as the
    // mask's line end, so that a value ending in CR keeps it.
    TextMaker text(out, plan_.crlf, part.kind == PartKind::kMarker);
    switch (part.kind) {
      case PartKind::kTitle:
        text.Escaped(*fill_.view_name, kEscapeAngles);
        return;
      case PartKind::kRegion: {
        const RegionFill& region = fill_.regions[filled_names_.Find(part.index)->second];
        text.Raw("<!--");
        text.Raw(region.name);
        text.Raw("-->");
        if (region.html) {
          text.Raw(region.text);
        } else {
          text.Escaped(region.text, kEscapeAngles | kLineFeedsAsBreaks);
          text.Raw("<BR>");
        }
        text.Raw("<!--/");
        text.Raw(region.name);
        text.Raw("-->");
        return;
      }
      case PartKind::kImageOpening:
        text.Raw("<!--ZRTImage-->");
        return;
      case PartKind::kImageClosing:
        text.Raw("<!--/ZRTImage-->");
        return;
      case PartKind::kImageSource:
        text.Raw("=\"");
        text.Escaped(fill_.image->source, kEscapeQuotes);
        text.Raw("\"");
        return;
      case PartKind::kImageWidth:
      case PartKind::kImageHeight: {
        const int number =
            part.kind == PartKind::kImageWidth ? fill_.image->width : fill_.image->height;
        text.Raw("=\"");
        text.Raw(std::to_string(number));
        text.Raw("\"");
        return;
      }
      case PartKind::kMarker:
        text.Raw("\n");
        text.Raw(*MarkerValue(static_cast<ProcessingMarker>(part.index)));
        text.Raw("\n");
        return;
    }
  }

  // Calls copy for each run of the mask's bytes and fill for each part filled, in order; a part
  // that starts inside one filled before it goes with that one.
  template <typename Copy, typename Fill>
  void Walk(Copy copy, Fill fill) const {
    const char* mask = plan_.mask.data();
    std::size_t copied = 0;
    for (const PlanPart& part : plan_.parts) {
      if (part.begin < copied || !Filled(part)) continue;
      copy(mask + copied, part.begin - copied);
      fill(part);
      copied = part.end;
    }
    copy(mask + copied, plan_.mask.size() - copied);
  }

  const Mask::Plan& plan_;
  const PageFill& fill_;
  RenderProblem* problem_;
  FilledNames filled_names_;
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

// Renders fill over plan with write, or, when the fill names a region that plan did not outline
// (a name not beginning with "ZRT"), over a plan outlined with those names too.
template <typename Write>
int RenderWithPlan(const Mask::Plan& plan, const PageFill& fill, RenderProblem* problem,
                   Write write) {
  if (problem != nullptr) *problem = RenderProblem();
  if (PlanKnowsNames(plan, fill)) {
    Renderer renderer(plan, fill, problem);
    const int code = renderer.Check();
    if (code == kOk) write(renderer);
    return code;
  }
  // Such a name changes what the outline reads (it may name a title or an image element), so
  // the mask is outlined again with it; with lines, as every compiled outline has them, so that
  // a part not closed is named by the same line as RenderPage names it.
  auto wider = std::make_unique<Mask::Plan>();
  int code = BuildPlan(plan.mask, ExtraNames(fill), kEveryMarker, /*with_lines=*/true, wider.get());
  if (code != kOk) return code;
  Renderer renderer(*wider, fill, problem);
  code = renderer.Check();
  if (code == kOk) write(renderer);
  return code;
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
  plan->names.erase(
      std::unique(plan->names.begin(), plan->names.end(),
                  [](const PlanName& a, const PlanName& b) { return a.name == b.name; }),
      plan->names.end());
  auto name_index = [plan](const std::string& name) {
    const auto found = std::lower_bound(
        plan->names.begin(), plan->names.end(), name,
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
  return RenderWithPlan(plan, fill, problem,
                        [runs](const Renderer& renderer) { renderer.WriteRuns(runs); });
}

int RenderPage(std::string_view mask, const PageFill& fill, std::string* page,
               RenderProblem* problem) {
  if (problem != nullptr) *problem = RenderProblem();
  if (page == nullptr) return kOpenFailed;
  return CatchAll([&]() -> int {
    // Only what this fill names is outlined: a compile for one render.
    Mask::Plan plan;
    int code = BuildPlan(mask, ExtraNames(fill), MarkerKinds(fill), false, &plan);
    if (code != kOk) return code;
    Renderer renderer(plan, fill, problem);
    code = renderer.Check();
    if (code == kRegionNotClosed && problem != nullptr) {
      // The line of an unclosed title's "<" is known only to an outline with lines (an earlier
      // "<" inside the title's attributes may lie on another line).
      Mask::Plan with_lines;
      if (BuildPlan(mask, ExtraNames(fill), MarkerKinds(fill), true, &with_lines) == kOk) {
        Renderer(with_lines, fill, problem).Check();
      }
      return code;
    }
    // A page the caller passed in keeps its bytes until the render succeeded.
    if (code == kOk) {
      std::string result;
      renderer.WritePage(&result);
      *page = std::move(result);
    }
    return code;
  });
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
  return CatchAll([&]() -> int {
    auto plan = std::make_shared<Plan>();
    plan->owned.assign(bytes.data(), bytes.size());
    const int code = BuildPlan(plan->owned, {}, kEveryMarker, true, plan.get());
    if (code != kOk) return code;
    mask->plan_ = std::move(plan);
    return kOk;
  });
}

int Mask::FromFile(const char* path, Mask* mask) {
  if (mask == nullptr) return kOpenFailed;
  return CatchAll([&]() -> int {
    auto plan = std::make_shared<Plan>();
    int code = ReadMaskFile(path, &plan->owned, &plan->mode);
    if (code == kOk) code = BuildPlan(plan->owned, {}, kEveryMarker, true, plan.get());
    if (code != kOk) return code;
    mask->plan_ = std::move(plan);
    return kOk;
  });
}

int Mask::Render(const PageFill& fill, std::string* page, RenderProblem* problem) const {
  if (problem != nullptr) *problem = RenderProblem();
  if (page == nullptr) return kOpenFailed;
  return CatchAll([&]() -> int {
    return RenderWithPlan(*plan_, fill, problem,
                          [page](const Renderer& renderer) { renderer.WritePage(page); });
  });
}

const Outline& Mask::outline() const { return plan_->outline; }

std::string_view Mask::bytes() const { return plan_->mask; }

}  // namespace zrtmask
