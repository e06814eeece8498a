// The publish subcommand: every page of a list (JSON Lines, one page an object) rendered from its
// compiled mask and published atomically, on several threads; the whole list checked first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/tool.h"
#include "zrtmask_mask.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

using nlohmann::json;

struct PublishCall {
  std::string list_path = "-";
  std::string root;
  unsigned threads = 0;
  std::size_t group_size = 32;
  bool make_directories = false;
  bool quiet = false;
  bool json = false;
  bool dry_run = false;
  bool diff = false;
};

// One page of the list, checked.
struct ListPage {
  int line = 0;
  std::string mask_path;  // resolved against the base folder
  std::string page_path;
  PageFill fill;
};

// A path of the list, resolved against base ("" keeps it as it is).
std::string Resolve(const std::string& base, const std::string& path) {
  if (base.empty() || path.empty() || path[0] == '/') return path;
  return base.back() == '/' ? base + path : base + "/" + path;
}

// Reads one object of the list into *page. Returns "" or what is wrong with it.
std::string ReadPage(const json& object, const std::string& base, ListPage* page) {
  if (!object.is_object()) return "a page is a JSON object";
  PageFill& fill = page->fill;
  auto text_of = [](const json& value, const char* key, std::string* target) -> std::string {
    if (!value.is_string()) return std::string("\"") + key + "\" is a string";
    *target = value.get<std::string>();
    return "";
  };
  auto optional_of = [&](const json& value, const char* key,
                         std::optional<std::string>* target) -> std::string {
    std::string text;
    std::string problem = text_of(value, key, &text);
    if (problem.empty()) *target = std::move(text);
    return problem;
  };
  auto regions_of = [&](const json& value, const char* key, bool html) -> std::string {
    if (!value.is_object()) return std::string("\"") + key + "\" is an object of region texts";
    for (const auto& [name, text] : value.items()) {
      if (!text.is_string()) return std::string("\"") + key + "\": \"" + name + "\" is a string";
      if (name.empty()) return std::string("\"") + key + "\": a region name is empty";
      for (const RegionFill& region : fill.regions) {
        if (region.name == name) return "region \"" + name + "\" is given twice";
      }
      fill.regions.push_back({name, text.get<std::string>(), html});
    }
    return "";
  };
  auto image_of = [&](const json& value) -> std::string {
    if (!value.is_object()) return "\"image\" is an object of src, width and height";
    ImageFill image;
    bool has[3] = {false, false, false};
    for (const auto& [key, item] : value.items()) {
      if (key == "src") {
        if (!item.is_string()) return "\"image\": \"src\" is a string";
        image.source = item.get<std::string>();
        has[0] = true;
      } else if (key == "width" || key == "height") {
        // A whole number that an int holds (a large unsigned one must not wrap).
        const bool fits =
            item.is_number_integer() &&
            (item.is_number_unsigned()
                 ? item.get<std::uint64_t>() <= std::numeric_limits<int>::max()
                 : item.get<std::int64_t>() >= std::numeric_limits<int>::min() &&
                       item.get<std::int64_t>() <= std::numeric_limits<int>::max());
        if (!fits) return "\"image\": \"" + key + "\" is a whole number";
        (key == "width" ? image.width : image.height) = item.get<int>();
        has[key == "width" ? 1 : 2] = true;
      } else {
        return "\"image\": unknown key \"" + key + "\"";
      }
    }
    if (!has[0] || !has[1] || !has[2]) return "\"image\" needs src, width and height";
    fill.image = image;
    return "";
  };
  // One entry per key: an unknown or misspelt key is an error, never silently dropped.
  using Reader = std::function<std::string(const json&)>;
  const std::map<std::string, Reader> readers = {
      {"mask", [&](const json& v) { return text_of(v, "mask", &page->mask_path); }},
      {"page", [&](const json& v) { return text_of(v, "page", &page->page_path); }},
      {"view_name", [&](const json& v) { return optional_of(v, "view_name", &fill.view_name); }},
      {"text", [&](const json& v) { return regions_of(v, "text", false); }},
      {"html", [&](const json& v) { return regions_of(v, "html", true); }},
      {"image", image_of},
      {"start", [&](const json& v) { return optional_of(v, "start", &fill.start); }},
      {"annotations",
       [&](const json& v) { return optional_of(v, "annotations", &fill.annotations); }},
      {"url", [&](const json& v) { return optional_of(v, "url", &fill.url); }},
      {"dbaccess", [&](const json& v) { return optional_of(v, "dbaccess", &fill.db_access); }},
  };
  for (const auto& [key, value] : object.items()) {
    const auto reader = readers.find(key);
    if (reader == readers.end()) return "unknown key \"" + key + "\"";
    const std::string problem = reader->second(value);
    if (!problem.empty()) return problem;
  }
  if (!object.contains("mask") || page->mask_path.empty()) return "\"mask\" is missing or empty";
  if (!object.contains("page") || page->page_path.empty()) return "\"page\" is missing or empty";
  // A path is handed on as a C string: a NUL would cut it to another file's name.
  if (page->mask_path.find('\0') != std::string::npos) return "\"mask\" holds a NUL byte";
  if (page->page_path.find('\0') != std::string::npos) return "\"page\" holds a NUL byte";
  page->mask_path = Resolve(base, page->mask_path);
  page->page_path = Resolve(base, page->page_path);
  return "";
}

// Reads and checks the whole list. Returns 0, kExitUsage after a message per bad line, or
// kExitIoError when the list cannot be read.
int ReadList(const PublishCall& call, std::vector<ListPage>* pages) {
  std::string text;
  const int error = ReadWholeFile(call.list_path, text);
  if (error != 0) {
    PrintError(DisplayName(call.list_path),
               error == ENODEV ? "a device, not a list" : std::strerror(error));
    return kExitIoError;
  }
  std::string base = call.root;
  if (base.empty() && call.list_path != "-") {
    const std::size_t slash = call.list_path.rfind('/');
    if (slash != std::string::npos) base = call.list_path.substr(0, slash + 1);
  }
  const std::string list_name = DisplayName(call.list_path);
  std::map<std::string, int> page_lines;
  bool bad = false;
  int line = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line_text(text.data() + at, end - at);
    at = end + 1;
    ++line;
    if (line_text.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    auto report = [&](const std::string& message) {
      PrintError(list_name + ":" + std::to_string(line), message);
      bad = true;
    };
    const json object = json::parse(line_text, nullptr, false);
    if (object.is_discarded()) {
      report("not valid JSON");
      continue;
    }
    ListPage page;
    page.line = line;
    const std::string problem = ReadPage(object, base, &page);
    if (!problem.empty()) {
      report(problem);
      continue;
    }
    // "a/b.html", "./a/b.html" and the same path from the root are one page.
    std::error_code ignored;
    std::filesystem::path absolute = std::filesystem::absolute(page.page_path, ignored);
    if (absolute.empty()) absolute = page.page_path;
    const std::string key = absolute.lexically_normal().string();
    const auto [first, inserted] = page_lines.emplace(key, line);
    if (!inserted) {
      report("page " + page.page_path + " is named twice (first on line " +
             std::to_string(first->second) + ")");
      continue;
    }
    pages->push_back(std::move(page));
  }
  return bad ? kExitUsage : 0;
}

// What a failed page lacks, for its message.
std::string ProblemText(const RenderProblem& problem) {
  switch (problem.part) {
    case RenderProblem::Part::kNone:
      return "";
    case RenderProblem::Part::kViewNameTitle:
      return "the view-name title";
    case RenderProblem::Part::kRegion:
      return "region " + problem.name;
    case RenderProblem::Part::kImageRegion:
      return "the ZRTImage region";
    case RenderProblem::Part::kImageElement:
      return "the image element";
    case RenderProblem::Part::kMarker:
      return "the marker " + problem.name;
  }
  return "";
}

std::string PageMessage(const SitePageResult& result) {
  std::string message = DescribePublishResult(result.code);
  const std::string part = ProblemText(result.problem);
  if (!part.empty()) {
    message += " (" + part;
    if (result.problem.line > 0) message += ", line " + std::to_string(result.problem.line);
    message += ")";
  }
  return message;
}

const char* StatusName(const SitePageResult& result) {
  switch (result.status) {
    case PublishStatus::kWritten:
      return "written";
    case PublishStatus::kUnchanged:
      return "unchanged";
    case PublishStatus::kFailed:
      break;
  }
  return "failed";
}

// Progress on standard error, when it is a terminal: pages done of all, pages a second, time left.
class Progress {
 public:
  Progress(std::size_t total, bool shown)
      : total_(total), shown_(shown), start_(std::chrono::steady_clock::now()) {}
  void PageDone() {
    ++done_;
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done_ != total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu pages, %.0f pages/s, %.0f s left   ", done_, total_, rate,
                 left);
    if (done_ == total_) std::fputc('\n', stderr);
  }
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::size_t total_;
  std::size_t done_ = 0;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

int RunPublish(const PublishCall& call) {
  if (call.diff && !call.dry_run) return UsageError("publish", "--diff goes with --dry-run");
  std::vector<ListPage> list;
  int status = ReadList(call, &list);
  if (status != 0) return status;
  // Each mask compiled once, however many pages use it.
  std::map<std::string, std::pair<int, Mask>> masks;
  std::vector<SitePage> pages(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto [entry, inserted] = masks.try_emplace(list[i].mask_path);
    if (inserted)
      entry->second.first = Mask::FromFile(list[i].mask_path.c_str(), &entry->second.second);
    pages[i].mask = entry->second.first == kOk ? &entry->second.second : nullptr;
    pages[i].page_path = list[i].page_path;
    pages[i].fill = std::move(list[i].fill);
  }
  Progress progress(pages.size(), !call.quiet && !call.json && ::isatty(STDERR_FILENO) == 1);
  SiteOptions options;
  options.page.make_directories = call.make_directories;
  options.threads = call.threads;
  options.group_size = call.group_size;
  options.dry_run = call.dry_run;
  options.on_page = [&progress](std::size_t, const SitePageResult&) { progress.PageDone(); };
  std::vector<SitePageResult> results;
  PublishSite(pages, options, &results);
  // A page whose mask could not be read fails with the mask's code.
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (pages[i].mask == nullptr) results[i].code = masks[list[i].mask_path].first;
  }
  const std::string list_name = DisplayName(call.list_path);
  std::size_t counts[3] = {0, 0, 0};
  json report = json::array();
  int diff_status = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const SitePageResult& result = results[i];
    ++counts[static_cast<int>(result.status)];
    const std::string message = result.code == kOk ? "" : PageMessage(result);
    if (result.code != kOk) {
      PrintError(list_name + ":" + std::to_string(list[i].line) + ": " + pages[i].page_path,
                 message);
    }
    if (call.json) {
      report.push_back({{"page", pages[i].page_path},
                        {"line", list[i].line},
                        {"status", StatusName(result)},
                        {"code", result.code},
                        {"message", message}});
    } else if (call.dry_run && result.status == PublishStatus::kWritten) {
      if (!call.diff) {
        std::printf("%s\n", pages[i].page_path.c_str());
        continue;
      }
      std::string new_page;
      pages[i].mask->Render(pages[i].fill, &new_page);
      const std::string old_page = ReadReplacedPage(pages[i].page_path);
      std::fflush(stdout);
      if (PrintUnifiedDiff(old_page, new_page, pages[i].page_path) != 0) diff_status = kExitIoError;
    }
  }
  if (call.json) {
    PrintJson({{"written", counts[0]},
               {"unchanged", counts[1]},
               {"failed", counts[2]},
               {"dry_run", call.dry_run},
               {"pages", report}});
  }
  if (!call.quiet) {
    std::fprintf(stderr, "zrtmask: %s: %zu pages: %zu %s, %zu unchanged, %zu failed (%.2f s)\n",
                 list_name.c_str(), pages.size(), counts[0], call.dry_run ? "to write" : "written",
                 counts[1], counts[2], progress.Seconds());
  }
  status = FinishOutput();
  if (status == 0) status = diff_status;
  if (status != 0) return status;
  return counts[2] > 0 ? kExitDataError : 0;
}

}  // namespace

std::string ReadReplacedPage(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char buffer[65536];
    for (;;) {
      const ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(count));
    }
  }
  ::close(fd);
  return bytes;
}

Subcommand PublishSubcommand() {
  return {"publish",
          "Publish every page of a list (JSON Lines): each rendered from its compiled mask and "
          "published atomically, on several threads",
          [](CLI::App& app) {
            auto call = std::make_shared<PublishCall>();
            app.add_option("LIST", call->list_path,
                           "The list of pages, one JSON object a line (- or none: standard input)")
                ->type_name("");
            app.add_option("--root", call->root,
                           "Resolve relative paths against DIR (default: the list's folder; the "
                           "working directory for standard input)")
                ->type_name("DIR");
            app.add_option("-j,--jobs", call->threads, "Publish on N threads (default: one a core)")
                ->check(CLI::Range(1u, 1024u).description(""))
                ->type_name("N");
            app.add_option("--group", call->group_size,
                           "Write and flush N pages before renaming them (1: flush each page "
                           "and its folder on its own; default 32)")
                ->check(CLI::Range(static_cast<std::size_t>(1), static_cast<std::size_t>(4096)).description(""))
                ->type_name("N");
            app.add_flag("--mkdir", call->make_directories, "Create the pages' missing folders");
            app.add_flag("--dry-run", call->dry_run,
                         "List the pages that would be written (new or changed); write nothing");
            app.add_flag("--diff", call->diff, "With --dry-run, a unified diff per changed page");
            app.add_flag("-q,--quiet", call->quiet, "No progress and no summary");
            app.add_flag("--json", call->json,
                         "Print a JSON report: one object per page (page, line, status, code, "
                         "message) and the counts");
            app.footer(
                "Exit status: 0 when every page was published or unchanged, 65 when some page "
                "failed (its old page kept), 64 for a bad list (nothing published), 74 when the "
                "list cannot be read. See zrtmask(1).");
            return std::function<int()>([call] { return RunPublish(*call); });
          }};
}

}  // namespace zrtmask::cli
