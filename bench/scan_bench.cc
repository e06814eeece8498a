// Scan throughput on generated template-like HTML of 10 KB, 1 MB and 10 MB, next to libxml2's
// streaming HTML SAX parser on the same files with callbacks that only count.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/HTMLparser.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

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
  const std::string& Path(std::int64_t size) {
    auto found = paths_.find(size);
    if (found != paths_.end()) return found->second;
    const std::string path = directory_ + "/template_" + std::to_string(size) + ".html";
    std::ofstream(path, std::ios::binary) << GenerateTemplate(size);
    return paths_[size] = path;
  }

 private:
  std::string directory_;
  std::map<std::int64_t, std::string> paths_;
};

TemplateFiles& Files() {
  static TemplateFiles files;
  return files;
}

std::int64_t FileSize(const std::string& path) {
  return static_cast<std::int64_t>(std::filesystem::file_size(path));
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

// The baseline: libxml2's push (streaming) HTML parser, fed the file in blocks of the size
// the scanner reads.
void BM_LibxmlSax(benchmark::State& state) {
  const std::string& path = Files().Path(state.range(0));
  htmlSAXHandler sax{};
  sax.startElement = CountStart;
  sax.endElement = CountEnd;
  sax.characters = CountCharacters;
  sax.ignorableWhitespace = CountCharacters;
  sax.comment = CountComment;
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

}  // namespace
