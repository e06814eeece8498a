// Rewrites per second of a 10 KB template with SetZRTTagContent, beside libxml2 reading the same
// file, changing one element's text and saving it, and beside the file-system floor of the
// copy-back design (the same opens, writes, free-space query, copy back and unlink, done with
// plain system calls and no scanning). Then 1 MB and 10 MB rewrites with their peak memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/HTMLparser.h>
#include <libxml/HTMLtree.h>
#include <libxml/tree.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"

namespace {

constexpr char kMarker[] = "Summary";
constexpr char kContent[] = "New summary text\nsecond line with <b>";

// About size bytes of template markup from a fixed seed, with one Summary region in the middle.
std::string GenerateTemplate(std::size_t size) {
  static const char* const kWords[] = {"price", "order", "shop", "the",      "and",  "of",
                                       "new",   "offer", "item", "customer", "list", "total"};
  std::mt19937 random(20240611);
  auto words = [&](unsigned count) {
    std::string text;
    for (unsigned index = 0; index < count; ++index) {
      if (index > 0) text += ' ';
      text += kWords[random() % 12];
    }
    return text;
  };
  std::string html =
      "<html>\n<head>\n<ZRTViewName><title>Catalog</title></ZRTViewName>\n</head>\n"
      "<body bgcolor=#FFFFFF>\n";
  bool region_written = false;
  while (html.size() < size) {
    if (!region_written && html.size() >= size / 2) {
      html += "<p><Summary>old summary<BR>\nmore old text</Summary></p>\n";
      region_written = true;
    }
    std::string number = std::to_string(random() % 1000);
    switch (random() % 4) {
      case 0:
        html += "<p class=\"text\">" + words(12) + " <b>" + words(2) + "</b>.</p>\n";
        break;
      case 1:
        html += "<table width=\"100%\" border=0><tr><td class=\"c\">" + words(3) +
                "</td><td><a href=\"page" + number + ".html\">" + words(2) + "</a></td></tr>" +
                "</table>\n";
        break;
      case 2:
        html += "<!-- " + words(5) + " -->\n";
        break;
      default:
        html += "<img src=\"pic" + number + ".gif\" width=\"100\" height=\"80\" alt=\"" + words(2) +
                "\"><br>\n";
        break;
    }
  }
  if (!region_written) html += "<p><Summary>old summary</Summary></p>\n";
  return html + "</body>\n</html>\n";
}

// A scratch working directory holding c:/temp/, entered on first use and removed at exit.
class Workspace {
 public:
  static Workspace& Get() {
    static Workspace workspace;
    return workspace;
  }
  // Writes the template of about size bytes into the workspace and returns its name.
  std::string Template(std::size_t size, const std::string& text) {
    std::string path = "template-" + std::to_string(size) + ".html";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
  }

 private:
  Workspace() {
    // TMPDIR chooses the file system measured (tmpfs, ext4, ...).
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/zrtmask-rewrite-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory_ = pattern;
    std::filesystem::create_directories(directory_ + "/c:/temp");
    // Owner-only whatever the umask: rewrites refuse a temporary folder open to others.
    std::filesystem::permissions(directory_ + "/c:/temp", std::filesystem::perms::owner_all);
    std::filesystem::current_path(directory_);
  }
  ~Workspace() {
    std::error_code error;
    std::filesystem::current_path("/", error);
    std::filesystem::remove_all(directory_, error);
  }
  std::string directory_;
};

// Puts the original text back before a timed rewrite. Written in place, never truncated to zero
// first: ext4 starts writing back a file that was emptied and rewritten when it is closed, and
// the timed writes would then wait for that I/O.
void RestoreTemplate(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    std::abort();
  }
  ::close(fd);
}

void BM_SetTagContent(benchmark::State& state) {
  const std::string text = GenerateTemplate(static_cast<std::size_t>(state.range(0)));
  const std::string path = Workspace::Get().Template(text.size(), text);
  for (auto _ : state) {
    state.PauseTiming();
    RestoreTemplate(path, text);
    state.ResumeTiming();
    ZRTHtmlFile file(path.c_str());
    if (file.SetZRTTagContent(kMarker, kContent) != 0) state.SkipWithError("rewrite failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SetTagContent)->Arg(10 * 1024);

xmlNode* FindElement(xmlNode* node, const char* name) {
  for (; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE &&
        std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0) {
      return node;
    }
    if (xmlNode* found = FindElement(node->children, name)) return found;
  }
  return nullptr;
}

// libxml2's round trip: parse the file into a tree, set one element's text, save the file.
void BM_Libxml2RoundTrip(benchmark::State& state) {
  const std::string text = GenerateTemplate(static_cast<std::size_t>(state.range(0)));
  const std::string path = Workspace::Get().Template(text.size(), text);
  const auto content = reinterpret_cast<const xmlChar*>(kContent);
  for (auto _ : state) {
    state.PauseTiming();
    RestoreTemplate(path, text);
    state.ResumeTiming();
    htmlDocPtr document = htmlReadFile(
        path.c_str(), nullptr, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
    // The HTML parser folds element names to lower case.
    xmlNode* element = document ? FindElement(xmlDocGetRootElement(document), "summary") : nullptr;
    if (element == nullptr) {
      state.SkipWithError("no summary element");
      break;
    }
    xmlNodeSetContent(element, content);
    if (htmlSaveFile(path.c_str(), document) < 0) state.SkipWithError("save failed");
    xmlFreeDoc(document);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Libxml2RoundTrip)->Arg(10 * 1024);

// The file-system work of a rewrite without scanning or writing items: read the template,
// create the temporary file exclusively and write the text, test the free space, reopen the
// temporary file for reading, write it over the template in place, cut it, remove the
// temporary file.
void BM_FileSystemFloor(benchmark::State& state) {
  const std::string text = GenerateTemplate(static_cast<std::size_t>(state.range(0)));
  const std::string path = Workspace::Get().Template(text.size(), text);
  std::vector<char> buffer(1 << 16);
  std::vector<char> copy(1 << 16);
  for (auto _ : state) {
    state.PauseTiming();
    RestoreTemplate(path, text);
    state.ResumeTiming();
    int input = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t length = ::read(input, buffer.data(), buffer.size());
    while (::read(input, copy.data(), copy.size()) > 0) {
    }
    ::close(input);
    std::string temp_path = "c:/temp/" + std::to_string(std::rand()) + ".html";
    int temp = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (temp < 0 || length <= 0 || ::write(temp, buffer.data(), length) != length) {
      state.SkipWithError("floor write failed");
      break;
    }
    ::close(temp);
    struct statvfs info;
    ::statvfs("c:/temp/", &info);
    temp = ::open(temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    int output = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ssize_t count = 0;
    while ((count = ::read(temp, copy.data(), copy.size())) > 0) {
      if (::write(output, copy.data(), static_cast<std::size_t>(count)) != count) break;
    }
    if (::ftruncate(output, length) != 0) state.SkipWithError("floor truncate failed");
    ::close(output);
    ::close(temp);
    ::unlink(temp_path.c_str());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_FileSystemFloor)->Arg(10 * 1024);

// Large templates, each rewrite in a child process so that its peak memory can be measured: the
// growth of the child's maximum resident set over what it inherited.
void BM_SetTagContentLarge(benchmark::State& state) {
  const std::string text = GenerateTemplate(static_cast<std::size_t>(state.range(0)));
  const std::string path = Workspace::Get().Template(text.size(), text);
  double peak_growth_kb = 0;
  for (auto _ : state) {
    RestoreTemplate(path, text);
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) std::abort();
    pid_t child = ::fork();
    if (child == 0) {
      struct rusage before;
      ::getrusage(RUSAGE_SELF, &before);
      auto start = std::chrono::steady_clock::now();
      ZRTHtmlFile file(path.c_str());
      int code = file.SetZRTTagContent(kMarker, kContent);
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      struct rusage after;
      ::getrusage(RUSAGE_SELF, &after);
      double report[2] = {code == 0 ? seconds : -1.0,
                          static_cast<double>(after.ru_maxrss - before.ru_maxrss)};
      ssize_t written = ::write(pipe_ends[1], report, sizeof report);
      ::_exit(written == sizeof report ? 0 : 1);
    }
    ::close(pipe_ends[1]);
    double report[2] = {-1.0, 0.0};
    ssize_t received = ::read(pipe_ends[0], report, sizeof report);
    ::close(pipe_ends[0]);
    ::waitpid(child, nullptr, 0);
    if (received != sizeof report || report[0] < 0) {
      state.SkipWithError("rewrite failed");
      break;
    }
    state.SetIterationTime(report[0]);
    if (report[1] > peak_growth_kb) peak_growth_kb = report[1];
  }
  state.counters["peak_growth_kB"] = peak_growth_kb;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SetTagContentLarge)
    ->Arg(1 << 20)
    ->Arg(10 << 20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
