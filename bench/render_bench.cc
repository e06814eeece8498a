// Rendering a page from its mask: a 10 KB mask (view name, two regions, image, one marker value)
// published to a file, beside the legacy sequence that gives the same page (mask copy and five
// rewrites) and beside a floor that makes the same file calls without scanning; and the render
// in memory of a 1 MB mask beside the scanner on the same bytes.
//
// The files live in $ZRTMASK_BENCH_DIR, by default a fresh directory under /dev/shm (tmpfs,
// where fsync costs nothing, so that the figures compare the work of each side rather than the
// disk's flush latency; point the variable at a disk to see that).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "zrtmask_mask.h"
#include "zrtmask_render.h"

namespace {

constexpr std::int64_t kSmallMask = 10 * 1024;
constexpr std::int64_t kLargeMask = 1024 * 1024;
constexpr std::int64_t kMediumMask = 200 * 1024;

// count words drawn by random, separated by blanks.
std::string Words(std::mt19937& random, unsigned count) {
  static constexpr std::string_view kWords[] = {"offer", "price",    "delivery", "the",
                                                "and",   "of",       "catalog",  "new",
                                                "item",  "customer", "list",     "total"};
  std::string text;
  while (count-- > 0) {
    text += kWords[random() % std::size(kWords)];
    if (count > 0) text += ' ';
  }
  return text;
}

// A mask of about size bytes from a fixed seed: the parts to fill at the top and in the middle,
// paragraphs, tables, scripts and comments around them.
std::string GenerateMask(std::int64_t size) {
  std::mt19937 random(20241206);
  auto words = [&random](unsigned count) { return Words(random, count); };
  std::string mask =
      "<!DOCTYPE html>\n<html>\n<head>\n<ZRTViewName><title>Catalog</title></ZRTViewName>\n"
      "<QLXSTART>\n</head>\n<body bgcolor=#FFFFFF>\n<ZRTSummary>old summary</ZRTSummary>\n";
  bool middle_written = false;
  while (static_cast<std::int64_t>(mask.size()) < size) {
    if (!middle_written && static_cast<std::int64_t>(mask.size()) >= size / 2) {
      mask +=
          "<div><ZRTBody>old <b>body</b></ZRTBody></div>\n<ZRTImage><img src=\"old.gif\" "
          "width=\"10\" height=\"20\" alt=\"logo\"></ZRTImage>\n";
      middle_written = true;
    }
    switch (random() % 4) {
      case 0:
        mask += "<p class=\"text\">" + words(14) + " <b>" + words(2) + "</b>.</p>\n";
        break;
      case 1:
        mask += "<table width=\"100%\" border=0><tr><td class='c'>" + words(3) +
                "</td><td><a href=\"page" + std::to_string(random() % 1000) + ".html\">" +
                words(2) + "</a></td></tr></table>\n";
        break;
      case 2:
        mask += "<script>if (a<b && c>d) show('" + words(2) + "');</script>\n";
        break;
      default:
        mask += "<!-- " + words(6) + " -->\n";
        break;
    }
  }
  return mask + "</body>\n</html>\n";
}

zrtmask::PageFill Fill() {
  zrtmask::PageFill fill;
  fill.view_name = "Spring catalog";
  fill.regions.push_back({"ZRTSummary", "New summary\nsecond line <b>", false});
  fill.regions.push_back({"ZRTBody", "<p>New <i>body</i></p>", true});
  fill.image = zrtmask::ImageFill{"pics/spring.gif", 120, 45};
  fill.start = "start value";
  return fill;
}

// The working directory of the file benchmarks, holding c:/temp/ for the legacy rewrites,
// entered on first use and removed at exit.
class BenchDirectory {
 public:
  static BenchDirectory& Get() {
    static BenchDirectory directory;
    return directory;
  }
  // Writes bytes as the mask file for size and returns its path.
  std::string Mask(std::int64_t size) {
    const std::string path = "mask_" + std::to_string(size) + ".html";
    std::ofstream(path, std::ios::binary) << GenerateMask(size);
    return path;
  }

 private:
  BenchDirectory() {
    const char* base = std::getenv("ZRTMASK_BENCH_DIR");
    std::string pattern = std::string(base != nullptr                       ? base
                                      : std::filesystem::exists("/dev/shm") ? "/dev/shm"
                                                                            : "/tmp") +
                          "/zrtmask_render_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern;
    std::filesystem::create_directories(directory_ + "/c:/temp");
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
  }
  ~BenchDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(directory_, ignored);
  }
  std::string directory_;
  std::filesystem::path previous_;
};

void BM_PublishPage(benchmark::State& state) {
  const std::string mask = BenchDirectory::Get().Mask(state.range(0));
  const zrtmask::PageFill fill = Fill();
  for (auto _ : state) {
    if (zrtmask::PublishPage(mask.c_str(), "page.html", fill) != 0) {
      state.SkipWithError("publish failed");
    }
  }
}
BENCHMARK(BM_PublishPage)->Arg(kSmallMask);

// The same page the legacy way: the mask copied over the page, then one rewrite per part.
void BM_LegacySequence(benchmark::State& state) {
  const std::string mask = BenchDirectory::Get().Mask(state.range(0));
  for (auto _ : state) {
    ZRTHtmlFile page("legacy.html");
    const int failed = page.CopyMaskFile(mask.c_str()) | page.SetZRTViewName("Spring catalog") |
                       page.SetZRTTagContent("ZRTSummary", "New summary\nsecond line <b>") |
                       page.dumpZRTTagContent("ZRTBody", "<p>New <i>body</i></p>") |
                       page.SetZRTImageName("pics/spring.gif", 120, 45) |
                       page.SetZRTStart("start value");
    if (failed != 0) state.SkipWithError("legacy sequence failed");
  }
}
BENCHMARK(BM_LegacySequence)->Arg(kSmallMask);

// The file calls of a publish without the render: examine the page's mode, read the mask,
// create a file beside the page with that mode, write the mask's bytes, fsync, rename over the
// page, fsync the directory.
void BM_PublishFloor(benchmark::State& state) {
  const std::string mask = BenchDirectory::Get().Mask(state.range(0));
  std::string bytes;
  char block[1 << 16];
  for (auto _ : state) {
    struct stat info;
    ::stat("floor.html", &info);
    bytes.clear();
    const int input = ::open(mask.c_str(), O_RDONLY | O_CLOEXEC);
    for (ssize_t count; (count = ::read(input, block, sizeof block)) > 0;) {
      bytes.append(block, static_cast<std::size_t>(count));
    }
    ::close(input);
    const int output = ::open(".floor.html.tmp", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        output >= 0 && ::fchmod(output, 0644) == 0 &&
        ::write(output, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
        ::fsync(output) == 0;
    ::close(output);
    if (!written || ::rename(".floor.html.tmp", "floor.html") != 0) {
      state.SkipWithError("floor failed");
      break;
    }
    const int directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::fsync(directory);
    ::close(directory);
  }
}
BENCHMARK(BM_PublishFloor)->Arg(kSmallMask);

void BM_RenderInMemory(benchmark::State& state) {
  const std::string mask = GenerateMask(state.range(0));
  const zrtmask::PageFill fill = Fill();
  std::string page;
  for (auto _ : state) {
    if (zrtmask::RenderPage(mask, fill, &page) != 0) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(page.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(mask.size()));
}
BENCHMARK(BM_RenderInMemory)->Arg(kSmallMask)->Arg(kLargeMask);

// The scanner alone on the same bytes (from a file, every item type), as BM_Scan measures it.
void BM_ScanSameMask(benchmark::State& state) {
  const std::string mask = BenchDirectory::Get().Mask(state.range(0));
  const std::int64_t size = static_cast<std::int64_t>(std::filesystem::file_size(mask));
  for (auto _ : state) {
    ZRTDcHtmlHandler scanner;
    scanner.SetFindTypes(ITEM_TAG | ITEM_ATTRIBUTE | ITEM_TEXT | ITEM_COMMENT | ITEM_VALUE);
    if (scanner.OpenFile(mask.c_str()) != 0) state.SkipWithError("open failed");
    long items = 0;
    while (scanner.FindNextItem() == 1) ++items;
    benchmark::DoNotOptimize(items);
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_ScanSameMask)->Arg(kLargeMask);

// The compiled mask: compiled once, then rendered for each page; its floor is a copy of the
// page's bytes, its peer a compiled Jinja2 template that gives the same bytes (checked first).
void BM_CompiledRender(benchmark::State& state) {
  zrtmask::Mask mask;
  if (zrtmask::Mask::FromBytes(GenerateMask(state.range(0)), &mask) != 0) std::abort();
  const zrtmask::PageFill fill = Fill();
  std::string page;
  for (auto _ : state) {
    if (mask.Render(fill, &page) != 0) state.SkipWithError("render failed");
    benchmark::DoNotOptimize(page.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}
BENCHMARK(BM_CompiledRender)->Arg(kSmallMask)->Arg(kMediumMask);

void BM_MemcpyPage(benchmark::State& state) {
  zrtmask::Mask mask;
  if (zrtmask::Mask::FromBytes(GenerateMask(state.range(0)), &mask) != 0) std::abort();
  std::string page;
  mask.Render(Fill(), &page);
  std::string copy(page.size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), page.data(), page.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}
BENCHMARK(BM_MemcpyPage)->Arg(kSmallMask)->Arg(kMediumMask);

// The Jinja2 template of a mask and Fill(): the page rendered with a marker for each filled text
// (and the image's numbers), the markers made variables, the rest kept raw.
void WriteJinjaPeer(const zrtmask::Mask& mask, const std::string& template_path,
                    const std::string& values_path) {
  zrtmask::PageFill marked;
  marked.view_name =
      "\x01"
      "0\x01";
  marked.regions.push_back({"ZRTSummary",
                            "\x01"
                            "1\x01",
                            false});
  marked.regions.push_back({"ZRTBody",
                            "\x01"
                            "2\x01",
                            true});
  marked.image = zrtmask::ImageFill{
      "\x01"
      "3\x01",
      1234567, 7654321};
  marked.start =
      "\x01"
      "4\x01";
  std::string page;
  if (mask.Render(marked, &page) != 0) std::abort();
  for (const auto& [number, variable] : {std::pair<const char*, const char*>{"1234567",
                                                                             "\x01"
                                                                             "5\x01"},
                                         {"7654321",
                                          "\x01"
                                          "6\x01"}}) {
    page.replace(page.find(number), std::strlen(number), variable);
  }
  std::string jinja;
  bool variable = false;
  for (std::size_t at = 0; at <= page.size();) {
    std::size_t end = page.find('\x01', at);
    if (end == std::string::npos) end = page.size();
    const std::string piece = page.substr(at, end - at);
    jinja += variable ? "{{ v" + piece + " }}" : "{% raw %}" + piece + "{% endraw %}";
    variable = !variable;
    at = end + 1;
  }
  std::ofstream(template_path, std::ios::binary) << jinja;
  // The values as the page holds them: the summary escaped as the render escapes it.
  std::ofstream(values_path, std::ios::binary)
      << R"({"v0": "Spring catalog", "v1": "New summary<BR>second line &lt;b&gt;",)"
      << R"( "v2": "<p>New <i>body</i></p>", "v3": "pics/spring.gif", "v4": "start value",)"
      << R"( "v5": "120", "v6": "45"})";
}

void BM_Jinja2Render(benchmark::State& state) {
  BenchDirectory::Get();
  zrtmask::Mask mask;
  if (zrtmask::Mask::FromBytes(GenerateMask(state.range(0)), &mask) != 0) std::abort();
  std::string page;
  mask.Render(Fill(), &page);
  const std::string size = std::to_string(state.range(0));
  WriteJinjaPeer(mask, "jinja_" + size + ".html", "values_" + size + ".json");
  const std::string command = "python3 " ZRTMASK_BENCH_SOURCE_DIR "/jinja_render.py jinja_" + size +
                              ".html values_" + size + ".json jinja_page_" + size + ".html";
  FILE* peer = ::popen(command.c_str(), "r");
  double nanoseconds = 0;
  if (peer == nullptr || std::fscanf(peer, "%lf", &nanoseconds) != 1 || ::pclose(peer) != 0) {
    state.SkipWithError("python3 with jinja2 did not run");
    return;
  }
  std::ifstream rendered("jinja_page_" + size + ".html", std::ios::binary);
  const std::string jinja_page{std::istreambuf_iterator<char>(rendered), {}};
  if (jinja_page != page) {
    state.SkipWithError("the Jinja2 page differs from the render's");
    return;
  }
  for (auto _ : state) state.SetIterationTime(nanoseconds / 1e9);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}
BENCHMARK(BM_Jinja2Render)->Arg(kSmallMask)->Arg(kMediumMask)->UseManualTime()->Iterations(10);

}  // namespace
