// zrtmask outline MASK...: what each mask accepts, from the library's outline: the view-name
// titles, the regions, the image region and its pictures, the path marker and the processing
// markers, as lines for people or as one JSON document (its schema is in zrtmask(1)).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "tools/outline.h"
#include "tools/tool.h"
#include "zrtmask_outline.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

struct OutlineOptions {
  std::vector<std::string> masks;
  std::vector<std::string> regions;
  bool json = false;
};

bool IsBlankByte(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// An image attribute's value as written, without the "=", blanks and quotes around it.
std::string AttributeValue(const std::string& mask, ByteRange range) {
  std::string_view value(mask.data() + range.begin, range.size());
  while (!value.empty() && (IsBlankByte(value.front()) || value.front() == '=')) {
    value.remove_prefix(1);
  }
  if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
    const char quote = value.front();
    value.remove_prefix(1);
    if (!value.empty() && value.back() == quote) value.remove_suffix(1);
  }
  return std::string(value);
}

// The marker elements that have a meaning of their own; every other region is filled as text
// or HTML.
bool IsFixedMarker(std::string_view name) {
  return name == "ZRTViewName" || name == "ZRTPath" || name == "ZRTImage";
}

// One region name: every region of that name, in document order.
struct RegionGroup {
  std::string name;
  std::vector<int> lines;
  bool closed = true;
};

std::vector<RegionGroup> GroupRegions(const Outline& outline) {
  std::vector<RegionGroup> groups;
  std::map<std::string_view, std::size_t> index;
  for (const OutlineRegion& region : outline.regions) {
    if (IsFixedMarker(region.name)) continue;
    const auto [at, inserted] = index.emplace(region.name, groups.size());
    if (inserted) groups.push_back({region.name, {}, true});
    RegionGroup& group = groups[at->second];
    group.lines.push_back(region.line);
    group.closed = group.closed && region.closed;
  }
  return groups;
}

const OutlineRegion* FirstImageRegion(const Outline& outline) {
  for (const OutlineRegion& region : outline.regions) {
    if (region.name == "ZRTImage") return &region;
  }
  return nullptr;
}

nlohmann::json OutlineJson(const std::string& mask, const Outline& outline) {
  nlohmann::json titles = nlohmann::json::array();
  for (const OutlineTitle& title : outline.titles) {
    titles.push_back({{"line", title.line}, {"closed", title.closed}});
  }
  nlohmann::json regions = nlohmann::json::array();
  for (const RegionGroup& group : GroupRegions(outline)) {
    regions.push_back({{"name", group.name},
                       {"lines", group.lines},
                       {"closed", group.closed},
                       {"count", group.lines.size()}});
  }
  nlohmann::json image = nullptr;
  if (const OutlineRegion* region = FirstImageRegion(outline)) {
    nlohmann::json pictures = nlohmann::json::array();
    for (const OutlineImage& picture : outline.images) {
      nlohmann::json attributes = nlohmann::json::array();
      for (const OutlineImageAttribute& attribute : picture.attributes) {
        attributes.push_back(
            {{"name", attribute.name}, {"value", AttributeValue(mask, attribute.value)}});
      }
      pictures.push_back({{"line", picture.line}, {"attributes", attributes}});
    }
    image = {{"line", region->line}, {"closed", region->closed}, {"pictures", pictures}};
  }
  nlohmann::json path = nullptr;
  if (outline.path.found) path = {{"line", outline.path.line}, {"value", outline.path.value}};
  nlohmann::json markers = nlohmann::json::array();
  for (const OutlineMarker& marker : outline.markers) {
    markers.push_back({{"kind", MarkerKeyword(marker.kind)}, {"line", marker.line}});
  }
  nlohmann::json filled = nlohmann::json::array();
  for (const OutlineFilled& region : outline.filled) {
    filled.push_back({{"name", region.name}, {"line", region.line}});
  }
  return {{"titles", titles}, {"regions", regions}, {"image", image},
          {"path", path},     {"markers", markers}, {"filled", filled}};
}

std::string Closed(bool closed) { return closed ? "closed" : "not closed"; }

void PrintOutline(const std::string& name, const std::string& mask, const Outline& outline) {
  auto print = [&name](int line, const std::string& text) {
    std::printf("%s:%d: %s\n", name.c_str(), line, text.c_str());
  };
  bool any = false;
  for (const OutlineTitle& title : outline.titles) {
    print(title.line, "title, " + Closed(title.closed));
    any = true;
  }
  for (const RegionGroup& group : GroupRegions(outline)) {
    std::string text = "region " + Escape(group.name.c_str()) + ", " + Closed(group.closed);
    text += group.lines.size() == 1 ? ", 1 time"
                                    : ", " + std::to_string(group.lines.size()) + " times (lines";
    if (group.lines.size() > 1) {
      for (std::size_t i = 0; i < group.lines.size(); ++i) {
        text += (i == 0 ? " " : ", ") + std::to_string(group.lines[i]);
      }
      text += ")";
    }
    print(group.lines.front(), text);
    any = true;
  }
  if (const OutlineRegion* region = FirstImageRegion(outline)) {
    print(region->line, "image region, " + Closed(region->closed));
    for (const OutlineImage& picture : outline.images) {
      std::string text = "picture";
      for (const OutlineImageAttribute& attribute : picture.attributes) {
        text += " " + attribute.name + "=\"" +
                Escape(AttributeValue(mask, attribute.value).c_str()) + "\"";
      }
      print(picture.line, text);
    }
    any = true;
  }
  if (outline.path.found) {
    print(outline.path.line, "path \"" + Escape(outline.path.value.c_str()) + "\"");
    any = true;
  }
  for (const OutlineMarker& marker : outline.markers) {
    print(marker.line, std::string("marker ") + MarkerKeyword(marker.kind));
    any = true;
  }
  for (const OutlineFilled& region : outline.filled) {
    print(region.line, "filled region " + Escape(region.name.c_str()));
    any = true;
  }
  if (!any) std::printf("%s: nothing to fill\n", name.c_str());
}

int RunOutline(const OutlineOptions& options) {
  std::vector<std::string> masks;
  std::string failed;
  const int list_error = ListMasks(options.masks, masks, &failed);
  if (list_error != 0) {
    PrintError(failed, std::strerror(list_error));
    return kOpenFailed;
  }
  int failed_code = kOk;
  nlohmann::json files = nlohmann::json::array();
  for (const std::string& path : masks) {
    std::string bytes;
    const int error = ReadWholeFile(path, bytes);
    int code = error != 0 ? ReadFailureCode(error) : kOk;
    Outline outline;
    if (code == kOk) code = OutlineMask(bytes, options.regions, &outline);
    if (code != kOk) {
      PrintError(DisplayName(path), DescribeResult(code));
      if (failed_code == kOk) failed_code = code;
    }
    if (options.json) {
      nlohmann::json file = {{"file", path}, {"result", code}};
      if (code == kOk) file.update(OutlineJson(bytes, outline));
      files.push_back(std::move(file));
    } else if (code == kOk) {
      PrintOutline(DisplayName(path), bytes, outline);
    }
  }
  if (options.json) PrintJson({{"schema", 1}, {"files", files}});
  const int status = FinishOutput();
  return status != kOk ? status : failed_code;
}

}  // namespace

Subcommand OutlineSubcommand() {
  return {"outline",
          "Print what each mask accepts: view-name titles, regions, image, path and processing "
          "markers, each with its line",
          [](CLI::App& app) {
            auto options = std::make_shared<OutlineOptions>();
            app.add_option("MASK", options->masks,
                           "Mask files, or folders to search for *.htm and *.html (- reads "
                           "standard input)")
                ->required()
                ->type_name("");
            app.add_option("--region", options->regions,
                           "Also outline the regions NAME, whose names do not begin with ZRT; "
                           "repeatable")
                ->type_name("NAME");
            app.add_flag("--json", options->json,
                         "Print one JSON document (schema in zrtmask(1)) instead of lines");
            app.footer(
                "Lines read FILE:LINE: PART. Exit status: 0, or the result code of the first "
                "mask that cannot be read.");
            return std::function<int()>([options] { return RunOutline(*options); });
          }};
}

}  // namespace zrtmask::cli
