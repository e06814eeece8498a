// Scan throughput next to libxml2's HTML SAX parser with callbacks that only count, on three
// inputs: generated template-like HTML of 10 KB, 1 MB and 10 MB; a generated markup-dense page
// of 1 MB whose item mix is that of real documentation pages; and real pages, every .html file
// under the directory given with --pages=DIR (the benchmarks over them run only with it).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/HTMLparser.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ZRTDcHtmlHandler.h"

namespace {

constexpr std::int64_t kSmall = 10 * 1024;
constexpr std::int64_t kMedium = 1024 * 1024;
constexpr std::int64_t kLarge = 10 * 1024 * 1024;

// Builds about size bytes of template markup from a fixed seed: tables with quoted and
// unquoted attributes, paragraphs, comments, marker elements and processing markers.
std::string GenerateTemplate(std::int64_t size) {
  static const char* const kWords[] = {"price", "order", "shop",  "summary", "delivery", "the",
                                       "and",   "of",    "new",   "offer",   "customer", "view",
                                       "item",  "list",  "total", "catalog"};
  std::mt19937 random(20240607);
  auto pick = [&random](std::uint32_t count) {
    return static_cast<std::uint32_t>(random() % count);
  };
  auto words = [&](std::uint32_t count) {
    std::string text;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i > 0) text += ' ';
      text += kWords[pick(16)];
    }
    return text;
  };
  std::string html =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html>\n<head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
      "<ZRTViewName><title>Catalog</title></ZRTViewName>\n</head>\n"
      "<body bgcolor=#FFFFFF leftmargin=0 topmargin='0'>\n";
  while (static_cast<std::int64_t>(html.size()) < size) {
    const std::string n = std::to_string(pick(1000));
    switch (pick(6)) {
      case 0:
        html +=
            "<table width=\"100%\" border=0 cellpadding=\"2\">\n  <tr>\n    <td class=\"label\" "
            "width=120 nowrap>" +
            words(2 + pick(3)) + "</td>\n    <td><a href=\"page" + n + ".html\" title='Item " + n +
            "'>" + words(1 + pick(4)) + "</a></td>\n  </tr>\n</table>\n";
        break;
      case 1:
        html += "<p class=\"text\">" + words(8 + pick(20)) + " <b>" + words(1 + pick(3)) + "</b> " +
                words(4 + pick(10)) + ".</p>\n";
        break;
      case 2:
        html += "<!-- " + words(3 + pick(6)) + " -->\n";
        break;
      case 3:
        html += "<ZRTSummary" + n + ">" + words(3 + pick(8)) + "<BR>" + words(3 + pick(8)) +
                "</ZRTSummary" + n + ">\n";
        break;
      case 4:
        html += "<img src=\"images/pic" + n + ".gif\" width=\"100\" height=\"80\" alt=\"" +
                words(2) + "\">\n<input type=text name=field" + n + " value=\"\">\n";
        break;
      default:
        html += "<div align=center><!--QLXSTART-->" + words(2 + pick(5)) + "</div>\n";
        break;
    }
  }
  return html + "</body>\n</html>\n";
}

// Builds about size bytes of a markup-dense page from a fixed seed, with the item mix of the 243
// HTML documentation pages under /usr/share/doc on a Debian 12 machine (23.4 MB, mostly API
// references and manuals), as measured there:
//   - an item every 9.3 bytes (mask 63); a line feed every 77 bytes;
//   - element names of 2.8 bytes on average (span, code, a, li, p, td, br, ...); 95% of the
//     opening tags are closed, and 69% of the gaps between two tags hold text;
//   - 0.63 attributes per opening tag (none 53%, one 37%, two 6%, three or more 4%), names of
//     4.7 bytes on average (class, href, id, ...), 97% with a value; values are double-quoted
//     and hold 18.8 bytes on average;
//   - text runs of 14.0 bytes on average (median 5): 29% are only blanks, mostly a line feed
//     and an indent, and 37% hold a line feed.
// The generated page, measured the same way: an item every 9.0 bytes, a line feed every 81;
// names of 2.7 bytes, 0.61 attributes per opening tag with names of 4.9 bytes and values of 17.8;
// text runs of 13.6 bytes (median 6), 29% only blanks, 41% with a line feed. Comments and
// declarations are too rare on the real pages to matter.
std::string GenerateDensePage(std::int64_t size) {
  struct Weighted {
    const char* text;
    std::uint32_t weight;
  };
  static const Weighted kElements[] = {
      {"span", 26}, {"code", 20}, {"a", 17}, {"li", 9},  {"p", 6},     {"td", 4},    {"br", 3},
      {"tr", 2},    {"div", 2},   {"ul", 2}, {"pre", 1}, {"h4", 1},    {"th", 1},    {"em", 2},
      {"b", 2},     {"dt", 2},    {"dd", 2}, {"h3", 1},  {"table", 1}, {"button", 1}};
  static const char* const kWords[] = {"the",    "value",    "of",      "a",        "callback",
                                       "string", "returns",  "buffer",  "options",  "is",
                                       "to",     "function", "Default", "encoding", "file",
                                       "stream", "and",      "object",  "path",     "error"};
  static const char* const kClasses[] = {"type",        "signature",      "token keyword",
                                         "hljs-string", "section-link",   "markdown-body",
                                         "literal",     "function-name",  "toc-heading",
                                         "hljs-title",  "parameter list", "api_stability_2"};
  std::mt19937 random(20261206);
  auto pick = [&random](std::uint32_t count) {
    return static_cast<std::uint32_t>(random() % count);
  };
  auto pick_weighted = [&pick](const Weighted* table, std::size_t count) {
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += table[i].weight;
    std::uint32_t at = pick(total);
    std::size_t i = 0;
    while (at >= table[i].weight) at -= table[i++].weight;
    return table[i].text;
  };
  auto word = [&] { return std::string(kWords[pick(20)]); };
  // Text between two tags: none, blanks, one word or a sentence.
  auto text = [&]() -> std::string {
    const std::uint32_t kind = pick(100);
    if (kind < 31) return "";
    if (kind < 51) return "\n" + std::string(pick(7), ' ');
    if (kind < 80) return word();
    std::string sentence = word();
    for (std::uint32_t count = 1 + pick(9); count > 0; --count) sentence += ' ' + word();
    return sentence + (pick(5) < 2 ? "\n" : "");
  };
  auto value = [&](const std::string& attribute) {
    if (attribute == "class") return std::string(kClasses[pick(12)]);
    std::string anchor = word();
    for (std::uint32_t count = 3 + pick(3); count > 0; --count) anchor += '_' + word();
    if (attribute == "href") return (pick(3) != 0 ? word() + ".html#" : "#") + anchor;
    if (attribute == "id") return anchor;
    if (attribute == "aria-hidden") return std::string("true");
    return std::to_string(pick(1000));
  };
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Reference</title>\n</head>\n<body>\n";
  while (static_cast<std::int64_t>(html.size()) < size) {
    const std::string element = pick_weighted(kElements, std::size(kElements));
    html += '<' + element;
    const std::uint32_t kind = pick(100);
    const std::uint32_t attributes = kind < 53 ? 0 : kind < 90 ? 1 : kind < 96 ? 2 : 3;
    for (std::uint32_t i = 0; i < attributes; ++i) {
      const std::uint32_t which = pick(100);
      const std::string attribute = which < 55   ? "class"
                                    : which < 80 ? "href"
                                    : which < 87 ? "id"
                                    : which < 91 ? "aria-hidden"
                                    : which < 94 ? "width"
                                    : which < 97 ? "align"
                                                 : "nowrap";
      html += ' ' + attribute;
      if (attribute != "nowrap") html += "=\"" + value(attribute) + '"';
    }
    html += '>' + text();
    if (pick(100) < 95) html += "</" + element + '>' + text();
  }
  return html + "</body>\n</html>\n";
}

// The generated files, written once into a temporary directory that is removed at exit.
class TemplateFiles {
 public:
  TemplateFiles() {
    char pattern[] = "/tmp/zrtmask_bench_XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    directory_ = pattern;
  }
  ~TemplateFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  // The template-like file of about size bytes.
  const std::string& Path(std::int64_t size) {
    return Generated("template", size, GenerateTemplate);
  }
  // The markup-dense page of about size bytes.
  const std::string& DensePath(std::int64_t size) {
    return Generated("dense", size, GenerateDensePage);
  }

 private:
  const std::string& Generated(const std::string& kind, std::int64_t size,
                               std::string (*generate)(std::int64_t)) {
    const std::string path = directory_ + "/" + kind + "_" + std::to_string(size) + ".html";
    auto found = paths_.find(path);
    if (found != paths_.end()) return found->second;
    std::ofstream(path, std::ios::binary) << generate(size);
    return paths_[path] = path;
  }

  std::string directory_;
  std::map<std::string, std::string> paths_;
};

TemplateFiles& Files() {
  static TemplateFiles files;
  return files;
}

std::int64_t FileSize(const std::string& path) {
  return static_cast<std::int64_t>(std::filesystem::file_size(path));
}

// A set of files scanned one after the other, each by a scanner of its own.
struct PageSet {
  std::vector<std::string> paths;
  std::int64_t bytes = 0;
};

// Every regular .html file under directory, in name order; links are not followed, so that no
// file counts twice.
PageSet FindPages(const std::string& directory) {
  PageSet pages;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error) && !it->is_symlink(error) && it->path().extension() == ".html")
      pages.paths.push_back(it->path().string());
  }
  std::sort(pages.paths.begin(), pages.paths.end());
  for (const std::string& path : pages.paths) pages.bytes += FileSize(path);
  return pages;
}

// Scans each page with mask; returns the number of items found.
long ScanPages(const PageSet& pages, int mask, benchmark::State& state) {
  long items = 0;
  for (const std::string& path : pages.paths) {
    ZRTDcHtmlHandler scanner;
    scanner.SetFindTypes(mask);
    if (scanner.OpenFile(path.c_str()) != 0) state.SkipWithError("open failed");
    while (scanner.FindNextItem() == 1) ++items;
  }
  return items;
}

// Arguments: file size, find mask.
void BM_Scan(benchmark::State& state) {
  const std::string& path = Files().Path(state.range(0));
  const int mask = static_cast<int>(state.range(1));
  for (auto _ : state) {
    ZRTDcHtmlHandler scanner;
    scanner.SetFindTypes(mask);
    if (scanner.OpenFile(path.c_str()) != 0) state.SkipWithError("open failed");
    long items = 0;
    while (scanner.FindNextItem() == 1) ++items;
    benchmark::DoNotOptimize(items);
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
}
BENCHMARK(BM_Scan)->ArgsProduct({{kSmall, kMedium, kLarge}, {63, 1}});

// Scans a page set with the mask given as argument, reporting bytes per second, the bytes per
// item and the bytes of the set (to divide callgrind's instruction count by).
void ScanPageSet(benchmark::State& state, const PageSet& pages) {
  const int mask = static_cast<int>(state.range(0));
  long items = 0;
  for (auto _ : state) {
    items = ScanPages(pages, mask, state);
    benchmark::DoNotOptimize(items);
  }
  state.SetBytesProcessed(state.iterations() * pages.bytes);
  state.counters["bytes_per_item"] =
      items > 0 ? static_cast<double>(pages.bytes) / static_cast<double>(items) : 0;
  state.counters["bytes"] = static_cast<double>(pages.bytes);
}

void BM_ScanDense(benchmark::State& state) {
  PageSet page;
  page.paths.push_back(Files().DensePath(kMedium));
  page.bytes = FileSize(page.paths.back());
  ScanPageSet(state, page);
}
BENCHMARK(BM_ScanDense)->Arg(63)->Arg(1);

struct SaxCounts {
  long elements = 0;
  long attributes = 0;
  long characters = 0;
  long comments = 0;
};

void CountStart(void* context, const xmlChar* /*name*/, const xmlChar** attributes) {
  auto* counts = static_cast<SaxCounts*>(context);
  ++counts->elements;
  for (const xmlChar** attribute = attributes; attribute && *attribute; attribute += 2) {
    ++counts->attributes;
  }
}
void CountEnd(void* context, const xmlChar* /*name*/) {
  ++static_cast<SaxCounts*>(context)->elements;
}
void CountCharacters(void* context, const xmlChar* /*text*/, int length) {
  static_cast<SaxCounts*>(context)->characters += length;
}
void CountComment(void* context, const xmlChar* /*text*/) {
  ++static_cast<SaxCounts*>(context)->comments;
}

// SAX callbacks that only count; errors and warnings are left unset, so they are not reported.
htmlSAXHandler CountingSax() {
  htmlSAXHandler sax{};
  sax.startElement = CountStart;
  sax.endElement = CountEnd;
  sax.characters = CountCharacters;
  sax.ignorableWhitespace = CountCharacters;
  sax.comment = CountComment;
  return sax;
}

// The baseline: libxml2's push (streaming) HTML parser, fed the file in blocks of the size
// the scanner reads.
void BM_LibxmlSax(benchmark::State& state) {
  const std::string& path = Files().Path(state.range(0));
  htmlSAXHandler sax = CountingSax();
  static char block[64 * 1024];
  for (auto _ : state) {
    SaxCounts counts;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) state.SkipWithError("open failed");
    htmlParserCtxtPtr parser =
        htmlCreatePushParserCtxt(&sax, &counts, nullptr, 0, path.c_str(), XML_CHAR_ENCODING_UTF8);
    htmlCtxtUseOptions(parser, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
    for (ssize_t count; (count = ::read(fd, block, sizeof(block))) > 0;) {
      htmlParseChunk(parser, block, static_cast<int>(count), 0);
    }
    htmlParseChunk(parser, nullptr, 0, 1);
    htmlFreeParserCtxt(parser);
    ::close(fd);
    benchmark::DoNotOptimize(counts);
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
}
BENCHMARK(BM_LibxmlSax)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge);

// The baseline for page sets: libxml2's htmlSAXParseFile on each page in turn.
void SaxParsePageSet(benchmark::State& state, const PageSet& pages) {
  htmlSAXHandler sax = CountingSax();
  for (auto _ : state) {
    SaxCounts counts;
    for (const std::string& path : pages.paths) {
      // With SAX callbacks of its own, the parser builds no document; free one if it did.
      htmlDocPtr document = htmlSAXParseFile(path.c_str(), nullptr, &sax, &counts);
      if (document != nullptr) xmlFreeDoc(document);
    }
    benchmark::DoNotOptimize(counts);
  }
  state.SetBytesProcessed(state.iterations() * pages.bytes);
}

void BM_LibxmlSaxDense(benchmark::State& state) {
  PageSet page;
  page.paths.push_back(Files().DensePath(kMedium));
  page.bytes = FileSize(page.paths.back());
  SaxParsePageSet(state, page);
}
BENCHMARK(BM_LibxmlSaxDense);

}  // namespace

// Options before Google Benchmark's own: --pages=DIR adds BM_ScanPages (masks 63 and 1) and
// BM_LibxmlSaxPages over every .html file under DIR.
int main(int argc, char** argv) {
  static PageSet pages;
  constexpr char kPagesOption[] = "--pages=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kPagesOption, sizeof(kPagesOption) - 1) == 0) {
      pages = FindPages(argv[i] + sizeof(kPagesOption) - 1);
      if (pages.paths.empty()) {
        std::fprintf(stderr, "no .html file under %s\n", argv[i] + sizeof(kPagesOption) - 1);
        return 1;
      }
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (!pages.paths.empty()) {
    benchmark::RegisterBenchmark("BM_ScanPages",
                                 [](benchmark::State& state) { ScanPageSet(state, pages); })
        ->Arg(63)
        ->Arg(1);
    benchmark::RegisterBenchmark("BM_LibxmlSaxPages",
                                 [](benchmark::State& state) { SaxParsePageSet(state, pages); });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
