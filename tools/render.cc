// The render subcommand: a page from its mask in one step, written to standard output, published
// at a path (whole, atomically), or shown as a diff against the page there.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/tool.h"
#include "zrtmask_mask.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

// A value given as an argument (- reads standard input) or as a file.
struct ValueOption {
  std::string argument;
  std::string file;
  CLI::Option* given = nullptr;
  CLI::Option* given_file = nullptr;
};

struct RenderCall {
  std::string mask_path;
  std::string page_path;
  bool diff = false;
  bool make_directories = false;  // --mkdir
  ValueOption view_name;
  std::vector<std::string> texts;       // NAME=TEXT
  std::vector<std::string> text_files;  // NAME=F
  std::vector<std::string> htmls;
  std::vector<std::string> html_files;
  std::vector<std::string> image;  // SRC WIDTH HEIGHT
  ValueOption start;
  ValueOption annotations;
  ValueOption url;
  ValueOption db_access;
};

void AddValueOption(CLI::App& app, ValueOption& value, const std::string& name,
                    const std::string& what) {
  value.given = app.add_option("--" + name, value.argument, what + " (- reads standard input)")
                    ->type_name("VALUE");
  value.given_file = app.add_option("--" + name + "-file", value.file,
                                    "Read --" + name +
                                        " from the file F (- reads standard input); one final "
                                        "line feed is dropped")
                         ->type_name("F")
                         ->excludes(value.given);
}

// Reads an optional value. Returns 0 or an exit status.
int ReadOptional(const ValueOption& value, std::optional<std::string>& target) {
  const bool from_file = value.given_file->count() > 0;
  if (!from_file && value.given->count() == 0) return 0;
  std::string bytes;
  const int status = ReadValue(from_file ? value.file : value.argument, from_file, bytes);
  if (status == 0) target = std::move(bytes);
  return status;
}

// Reads the NAME=TEXT (or NAME=F) region options into fill. Returns 0 or an exit status.
int ReadRegions(const std::vector<std::string>& options, bool from_file, bool html,
                PageFill& fill) {
  for (const std::string& option : options) {
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos || equals == 0) {
      return UsageError("render", "a region is given as NAME=" +
                                      std::string(from_file ? "F" : "TEXT") + ": " + option);
    }
    RegionFill region;
    region.name = option.substr(0, equals);
    region.html = html;
    const int status = ReadValue(option.substr(equals + 1), from_file, region.text);
    if (status != 0) return status;
    fill.regions.push_back(std::move(region));
  }
  return 0;
}

// Turns the command line into a fill. Returns 0 or an exit status.
int ReadFill(const RenderCall& call, PageFill& fill) {
  // Standard input can be read once.
  int stdin_readers = call.mask_path == "-" ? 1 : 0;
  for (const ValueOption* value :
       {&call.view_name, &call.start, &call.annotations, &call.url, &call.db_access}) {
    if ((value->given->count() > 0 && value->argument == "-") ||
        (value->given_file->count() > 0 && value->file == "-")) {
      ++stdin_readers;
    }
  }
  for (const auto* list : {&call.texts, &call.text_files, &call.htmls, &call.html_files}) {
    for (const std::string& option : *list) {
      if (option.size() > 1 && option.compare(option.size() - 2, 2, "=-") == 0) ++stdin_readers;
    }
  }
  if (stdin_readers > 1) return UsageError("render", "standard input (-) can be read only once");
  if (call.diff && call.page_path.empty()) {
    return UsageError("render", "--diff compares with the page given by -o");
  }
  // A region given twice would be filled with one of its texts only.
  std::set<std::string> region_names;
  for (const auto* list : {&call.texts, &call.text_files, &call.htmls, &call.html_files}) {
    for (const std::string& option : *list) {
      const std::string name = option.substr(0, option.find('='));
      if (!name.empty() && !region_names.insert(name).second) {
        return UsageError("render", "region " + name + " is given twice");
      }
    }
  }
  // The sizes are read as set-image reads them.
  if (!call.image.empty()) {
    ImageFill image{call.image[0], 0, 0};
    if (!ParseSize(call.image[1], &image.width) || !ParseSize(call.image[2], &image.height)) {
      return UsageError("render",
                        "--image takes SRC WIDTH HEIGHT, the sizes decimal numbers from 0: " +
                            call.image[1] + " " + call.image[2]);
    }
    fill.image = std::move(image);
  }
  int status = ReadOptional(call.view_name, fill.view_name);
  if (status == 0) status = ReadRegions(call.texts, false, false, fill);
  if (status == 0) status = ReadRegions(call.text_files, true, false, fill);
  if (status == 0) status = ReadRegions(call.htmls, false, true, fill);
  if (status == 0) status = ReadRegions(call.html_files, true, true, fill);
  if (status == 0) status = ReadOptional(call.start, fill.start);
  if (status == 0) status = ReadOptional(call.annotations, fill.annotations);
  if (status == 0) status = ReadOptional(call.url, fill.url);
  if (status == 0) status = ReadOptional(call.db_access, fill.db_access);
  return status;
}

// Where a part of the fill that the mask lacks, or holds unclosed, is: "MASK: NAME" or
// "MASK:LINE: NAME".
std::string WherePart(const RenderCall& call, const std::string& mask, const PageFill& fill,
                      int code) {
  const std::string name = DisplayName(call.mask_path);
  std::vector<std::string> names;
  for (const RegionFill& region : fill.regions) names.push_back(region.name);
  Outline outline;
  if (OutlineMask(mask, names, &outline) != kOk) return name;
  auto region_problem = [&](const std::string& region_name) -> std::string {
    int line = 0;
    bool found = false;
    for (const OutlineRegion& region : outline.regions) {
      if (region.name != region_name) continue;
      found = true;
      line = region.closed ? 0 : region.line;
    }
    if (code == kNotInMask && !found) return name + ": " + region_name;
    if (code == kRegionNotClosed && line > 0) {
      return name + ":" + std::to_string(line) + ": " + region_name;
    }
    return "";
  };
  if (fill.view_name) {
    if (code == kNotInMask && outline.titles.empty()) return name + ": the view-name title";
    if (code == kRegionNotClosed && !outline.titles.empty() && !outline.titles.back().closed) {
      return name + ":" + std::to_string(outline.titles.back().line) + ": title";
    }
  }
  for (const RegionFill& region : fill.regions) {
    const std::string problem = region_problem(region.name);
    if (!problem.empty()) return problem;
  }
  if (fill.image) {
    const std::string problem = region_problem("ZRTImage");
    if (!problem.empty()) return problem;
    if (code == kNotInMask && outline.images.empty()) return name + ": the image element";
  }
  return name + ": a processing marker";
}

// Reads the mask: a file under the library's shared lock (a FIFO, device or folder refused),
// standard input as it comes. Returns 0, or the result code after a message.
int ReadMask(const RenderCall& call, std::string& mask) {
  if (call.mask_path != "-") {
    Mask compiled;
    const int code = Mask::FromFile(call.mask_path.c_str(), &compiled);
    if (code == kOk) mask = compiled.bytes();
    if (code != kOk) PrintError(DisplayName(call.mask_path), DescribeResult(code));
    return code;
  }
  const int error = ReadWholeFile(call.mask_path, mask);
  if (error == 0) return kOk;
  const int code = error == ENOENT ? kMaskMissing : error == EACCES ? kMaskUnreadable : kOpenFailed;
  PrintError(DisplayName(call.mask_path), DescribeResult(code));
  return code;
}

// Reports a failed render or publish and returns its code.
int ReportRender(const RenderCall& call, const PageFill& fill, int code) {
  std::string mask;
  if (code == kNotInMask || code == kRegionNotClosed) {
    PrintError(ReadWholeFile(call.mask_path, mask) == 0 ? WherePart(call, mask, fill, code)
                                                        : DisplayName(call.mask_path),
               DescribeResult(code));
  } else if (code == kMaskMissing || code == kMaskUnreadable || call.page_path.empty()) {
    PrintError(DisplayName(call.mask_path), DescribeResult(code));
  } else if (code == kTemplateNotWritable) {
    PrintError(call.page_path, "cannot be written: its directory is missing or not writable");
  } else {
    PrintError(call.page_path, DescribeResult(code));
  }
  return code;
}

int RunRender(const RenderCall& call) {
  PageFill fill;
  const int status = ReadFill(call, fill);
  if (status != 0) return status;
  if (!call.page_path.empty() && !call.diff) {
    // The library reads the mask file itself; its mode is a new page's.
    if (call.mask_path == "-") {
      return UsageError("render", "-o publishes from a mask file, not from standard input");
    }
    // The mask is read once, under its lock; a failure is told from those same bytes.
    Mask mask;
    int code = Mask::FromFile(call.mask_path.c_str(), &mask);
    if (code != kOk) return ReportRender(call, fill, code);
    PublishOptions options;
    options.make_directories = call.make_directories;
    options.keep_unchanged = false;
    code = mask.Publish(call.page_path.c_str(), fill, options);
    if (code == kNotInMask || code == kRegionNotClosed) {
      PrintError(WherePart(call, std::string(mask.bytes()), fill, code), DescribeResult(code));
      return code;
    }
    return code == kOk ? kOk : ReportRender(call, fill, code);
  }
  std::string mask;
  int code = ReadMask(call, mask);
  if (code != kOk) return code;
  std::string page;
  code = RenderPage(mask, fill, &page);
  if (code != kOk) {
    if (code == kNotInMask || code == kRegionNotClosed) {
      PrintError(WherePart(call, mask, fill, code), DescribeResult(code));
      return code;
    }
    return ReportRender(call, fill, code);
  }
  if (call.diff) {
    // A page that does not exist yet is empty.
    const std::string old_page = ReadReplacedPage(call.page_path);
    code = PrintUnifiedDiff(old_page, page, call.page_path);
    return code != kOk ? code : FinishOutput();
  }
  std::fwrite(page.data(), 1, page.size(), stdout);
  return FinishOutput();
}

}  // namespace

Subcommand RenderSubcommand() {
  return {"render",
          "Render a page from MASK in one step: view name, regions, image and marker values, "
          "every other byte kept",
          [](CLI::App& app) {
            auto call = std::make_shared<RenderCall>();
            app.add_option("MASK", call->mask_path, "Mask file (- reads standard input)")
                ->required()
                ->type_name("");
            app.add_option("-o,--output", call->page_path,
                           "Publish the page at PAGE: written beside it, flushed and renamed "
                           "over it; without -o the page goes to standard output")
                ->type_name("PAGE");
            app.add_flag("--mkdir", call->make_directories,
                         "With -o, create the page's missing folders");
            app.add_flag("--diff", call->diff,
                         "Print a unified diff of the page at -o against the new page instead");
            AddValueOption(app, call->view_name, "view-name", "The view name; < and > are escaped");
            app.add_option("--text", call->texts,
                           "Fill region NAME with plain TEXT (< and > escaped, line feeds as "
                           "<BR>); repeatable")
                ->type_name("NAME=TEXT");
            app.add_option("--text-file", call->text_files,
                           "Fill region NAME with the plain text of the file F")
                ->type_name("NAME=F");
            app.add_option("--html", call->htmls, "Fill region NAME with HTML written as it is")
                ->type_name("NAME=HTML");
            app.add_option("--html-file", call->html_files,
                           "Fill region NAME with the HTML of the file F")
                ->type_name("NAME=F");
            app.add_option("--image", call->image,
                           "Set src, width and height of the image in the ZRTImage region")
                ->expected(3)
                ->type_name("SRC WIDTH HEIGHT");
            AddValueOption(app, call->start, "start", "The value after the first <QLXSTART>");
            AddValueOption(app, call->annotations, "annotations",
                           "The value after the first <QLXANNOT>");
            AddValueOption(app, call->url, "url", "The value after the first <QLXURL>");
            AddValueOption(app, call->db_access, "dbaccess",
                           "The value after the first <QLXDBACCESS>");
            app.footer(
                "A part named that the mask lacks exits with 11, one not closed with 10; nothing "
                "is written then. See zrtmask(1).");
            return std::function<int()>([call] { return RunRender(*call); });
          }};
}

}  // namespace zrtmask::cli
