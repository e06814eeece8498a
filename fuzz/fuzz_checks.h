// The checks of the two fuzz harnesses, shared with the unit test that runs them over every
// seed. Each check works in a scratch directory holding "c:/temp/" and aborts on a failure, so
// that libFuzzer records the input as a crash.
//
// CheckScan: the first byte is the find mask (its low six bits) and two options, the rest is
// the file. Bit 0x40 stretches each 0x01 byte into a run of letters two bytes longer than a
// name may be, and the first 0x02 byte into one two bytes longer than a value may be; bit 0x80
// puts a block's worth of text in front, so that the file's first bytes straddle the reader's
// first block boundary. The buffers stay terminated within their sizes, the line number is one
// plus the line feeds read, and a restricted mask hands out exactly the items it asks for. The
// same bytes, read from memory, give an outline whose regions start and end at the "<" and ">"
// of their elements, and a render with nothing to fill gives them back unchanged.
//
// CheckRewrite: the first byte chooses the operation, then come its arguments, each ended by
// '|', then the template: 0 view name (name), 1 tag content (marker, text), 2 dump (marker,
// text), 3 image (source, width, height), 4-7 start, annotations, URL, database access (value),
// 8 mask copy (mask bytes). Every query succeeds and changes nothing; a rewrite succeeds and
// leaves no temporary file, or fails with 10 and the template as it was; a value is inserted
// whole right after a complete marker of its kind, and (without CR) right where the outline
// finds that marker; the CR LF form of a template without CR gives the CR LF form of the result.
//
// CheckRender: the first byte chooses the parts to fill (bit 0 view name, 1 image, 2-5 the four
// processing markers, 6 regions as HTML, 7 values with CR LF and a final CR), then come the
// region names, separated by ',' and ended by '|', then the mask. The compiled mask renders
// what RenderPage renders, with the same code and the same part reported, and so does a fill
// of every region its outline lists.
#ifndef ZRTMASK_FUZZ_FUZZ_CHECKS_H_
#define ZRTMASK_FUZZ_FUZZ_CHECKS_H_

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "zrtmask_mask.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"

namespace zrtmask::fuzz {

inline void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

inline void WriteBytes(const char* path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  Require(!out.fail(), "the harness could not write its input file");
}

inline std::string ReadBytes(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Makes a scratch directory holding "c:/temp/" (made once, removed at exit) the working
// directory while it lives; the temporary directory must be empty when it goes.
class InScratchDirectory {
 public:
  InScratchDirectory() : previous_(std::filesystem::current_path()) {
    static const std::string* const scratch = [] {
      auto* pattern = new std::string(std::filesystem::temp_directory_path() / "zrtmask-fuzz-XXXXXX");
      Require(::mkdtemp(pattern->data()) != nullptr && std::filesystem::create_directories(*pattern + "/c:/temp"),
              "cannot create the scratch directory");
      // Owner-only whatever the umask: rewrites refuse a temporary folder open to others.
      std::filesystem::permissions(*pattern + "/c:/temp", std::filesystem::perms::owner_all);
      std::atexit([] { std::filesystem::remove_all(*scratch); });
      return pattern;
    }();
    std::filesystem::current_path(*scratch);
  }
  InScratchDirectory(const InScratchDirectory&) = delete;
  InScratchDirectory& operator=(const InScratchDirectory&) = delete;
  ~InScratchDirectory() {
    Require(std::filesystem::is_empty("c:/temp"), "an operation left a temporary file");
    std::filesystem::current_path(previous_);
  }

 private:
  std::filesystem::path previous_;
};

inline std::string WithCrLf(std::string_view text) {
  std::string converted;
  for (char byte : text) converted += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
  return converted;
}

inline std::string Without(std::string_view text, char dropped) {
  std::string kept;
  std::copy_if(text.begin(), text.end(), std::back_inserter(kept), [&](char c) { return c != dropped; });
  return kept;
}

const auto kNameSize = static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxNameSize);
const auto kValueSize = static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxValueSize);

// Scans scan.html with mask, checking each item as it comes; returns the items as (type, "line
// content") pairs.
inline std::vector<std::pair<int, std::string>> ScanChecked(int mask, int line_feeds) {
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(mask);
  Require(scanner.OpenFile("scan.html") == 0, "the scanner could not open its file");
  std::vector<std::pair<int, std::string>> items;
  for (int previous_line = 1, held = 0; scanner.FindNextItem() != 0;) {
    const int type = scanner.GetItemType(), line = scanner.GetCurrentLineNb();
    Require((type & mask) != 0 && (type & (type - 1)) == 0, "an item of a type not asked for");
    Require(std::memchr(scanner.GetItemName(), 0, kNameSize) != nullptr &&
                std::memchr(scanner.GetItemValue(), 0, kValueSize) != nullptr,
            "a buffer is not terminated within its size");
    const std::string content = type <= ITEM_ATTRIBUTE ? scanner.GetItemName() : scanner.GetItemValue();
    // Every line feed that an item holds has been read, and none twice.
    held += mask == 63 ? static_cast<int>(std::count(content.begin(), content.end(), '\n')) : 0;
    Require(line >= previous_line && line >= 1 + held && line <= 1 + line_feeds, "a wrong line number");
    previous_line = line;
    items.emplace_back(type, std::to_string(line) + " " + content);
  }
  Require(scanner.GetCurrentLineNb() == 1 + line_feeds, "at the end the line is not 1 + line feeds");
  Require(scanner.FindNextItem() == 0, "an item after the end of the input");
  return items;
}

inline void CheckScan(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const InScratchDirectory in_scratch;
  const int options = data[0], mask = options & 63;
  std::string file((options & 0x80) != 0 ? 64 * 1024 - 2 : 0, 'a');
  file.append(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((options & 0x40) != 0) {
    const std::size_t value_mark = file.find('\x02');
    if (value_mark != std::string::npos) file.replace(value_mark, 1, kValueSize + 1, 'x');
    for (std::size_t mark; (mark = file.find('\x01')) != std::string::npos;) {
      file.replace(mark, 1, kNameSize + 1, 'x');
    }
  }
  WriteBytes("scan.html", file);
  // CR LF reads as its line feed and a lone CR is no line end: the line feeds are the file's.
  const int line_feeds = static_cast<int>(std::count(file.begin(), file.end(), '\n'));
  std::vector<std::pair<int, std::string>> expected = ScanChecked(63, line_feeds);
  expected.erase(std::remove_if(expected.begin(), expected.end(),
                                [&](const auto& item) { return (item.first & mask) == 0; }),
                 expected.end());
  Require(ScanChecked(mask, line_feeds) == expected, "a restricted mask changed the items it asks for");

  zrtmask::Outline outline;
  Require(zrtmask::OutlineMask(file, {}, &outline) == 0, "the outline failed");
  for (const zrtmask::OutlineRegion& region : outline.regions) {
    Require(file[region.opening.begin] == '<' && region.opening.end <= region.content.begin &&
                region.content.end <= region.closing.begin && region.closing.end <= file.size(),
            "a region's ranges are out of order");
    Require(!region.closed || (file[region.opening.end - 1] == '>' && file[region.closing.begin] == '<' &&
                               file[region.closing.end - 1] == '>'),
            "a closed region does not span its elements");
  }
  std::string page;
  Require(zrtmask::RenderPage(file, zrtmask::PageFill(), &page) == 0 && page == file,
          "a render with nothing to fill changed the bytes");
}

// True when text ends with a marker of keyword. Where a blank (space, line feed) or the ">"
// may stand, an abandoned "Q" or "QL" may come before it.
inline bool EndsWithMarker(std::string_view text, std::string_view keyword) {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  const auto drop_prefix = [&](std::string_view& t) {
    if (t.size() >= 2 && upper(t[t.size() - 2]) == 'Q' && upper(t.back()) == 'L') t.remove_suffix(2);
    else if (!t.empty() && upper(t.back()) == 'Q') t.remove_suffix(1);
  };
  const auto drop_blanks = [&](std::string_view& t) {
    while (!t.empty() && (t.back() == ' ' || t.back() == '\n')) t.remove_suffix(1), drop_prefix(t);
  };
  if (text.empty() || text.back() != '>') return false;
  text.remove_suffix(1);
  drop_prefix(text);
  drop_blanks(text);
  if (text.size() < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (upper(text[text.size() - keyword.size() + i]) != keyword[i]) return false;
  }
  text.remove_suffix(keyword.size());
  drop_blanks(text);
  return !text.empty() && text.back() == '<';
}

// after is before, or before with inserted right after a marker of keyword.
inline void CheckInsertion(const std::string& before, const std::string& after,
                           const std::string& inserted, std::string_view keyword) {
  if (after == before) return;
  Require(after.size() == before.size() + inserted.size(), "the template changed by more than the value");
  std::size_t prefix = 0, suffix = 0;
  while (prefix < before.size() && before[prefix] == after[prefix]) ++prefix;
  while (suffix < before.size() && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) ++suffix;
  for (std::size_t split = before.size() - suffix; split <= prefix; ++split) {
    if (after.compare(split, inserted.size(), inserted) == 0 &&
        EndsWithMarker(std::string_view(before).substr(0, split), keyword)) {
      return;
    }
  }
  Require(false, "the value is not inserted whole right after a marker of its kind");
}

inline int RunOperation(int choice, const std::vector<std::string>& a) {
  ZRTHtmlFile file("t.html");
  const auto number = [](const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10) % 1000000000L);
  };
  switch (choice) {
    case 0: return file.SetZRTViewName(a[0].c_str());
    case 1: return file.SetZRTTagContent(a[0].c_str(), a[1].c_str());
    case 2: return file.dumpZRTTagContent(a[0].c_str(), a[1].c_str());
    case 3: return file.SetZRTImageName(a[0].c_str(), number(a[1]), number(a[2]));
    case 4: return file.SetZRTStart(a[0].c_str());
    case 5: return file.SetZRTAnnotations(a[0].c_str());
    case 6: return file.SetZRTURL(a[0].c_str());
    case 7: return file.SetZRTDBAccess(a[0].c_str());
    default: WriteBytes("m.html", a[0]); return file.CopyMaskFile("m.html");
  }
}

inline void RunQueries(const std::string& name) {
  const std::string before = ReadBytes("t.html");
  ZRTHtmlFile file("t.html");
  ZRTUnicodeString answer;
  ZRTListValZRTUnicodeString tags;
  Require(file.GetZRTViewName(&answer) == 0 && file.GetZRTTagContent(name.c_str(), &answer) == 0 &&
              file.GetZRTPath(&answer) == 0 && file.GetAllZRTTag(&tags) == 0,
          "a query failed on a readable template");
  Require(ReadBytes("t.html") == before, "a query changed the template");
}

// Runs the queries and the operation on the template; returns the template afterwards.
inline std::string RewriteChecked(int choice, const std::vector<std::string>& a, const std::string& text, int* code) {
  WriteBytes("t.html", text);
  RunQueries(a[0]);
  *code = RunOperation(choice, a);
  const std::string after = ReadBytes("t.html");
  Require(*code == 0 || (choice < 4 && *code == 10), "a rewrite failed with an unexpected code");
  Require(*code == 0 || after == text, "a failed rewrite changed the template");
  Require(choice != 8 || after == a[0], "the template is not the mask after a mask copy");
  if (*code == 0) RunQueries(a[0]);
  return after;
}

inline void CheckRewrite(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const InScratchDirectory in_scratch;
  const int choice = data[0] % 9;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> arguments;
  for (int index = 0; index < (choice == 1 || choice == 2 ? 2 : choice == 3 ? 3 : 1); ++index) {
    const std::size_t end = rest.find('|');
    if (end == std::string_view::npos) return;
    arguments.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  const std::string text(rest);
  int code = 0, crlf_code = 0;
  const std::string after = RewriteChecked(choice, arguments, text, &code);
  const bool has_cr = text.find('\r') != std::string::npos ||
      std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) { return a.find('\r') != std::string::npos; });
  if (choice >= 4 && choice <= 7) {
    static const char* const kKeywords[] = {"QLXSTART", "QLXANNOT", "QLXURL", "QLXDBACCESS"};
    // The value is passed as a zero-terminated string. Line ends follow the template's first
    // one, so a template that mixes them is compared without its CRs.
    const std::string value = "\n" + arguments[0].substr(0, arguments[0].find('\0')) + "\n";
    CheckInsertion(Without(text, '\r'), Without(after, '\r'), Without(value, '\r'), kKeywords[choice - 4]);
    // The outline finds the marker where the setter put the value (the render's insertion).
    zrtmask::Outline outline;
    Require(zrtmask::OutlineMask(text, {}, &outline) == 0, "the outline failed");
    const auto marker =
        std::find_if(outline.markers.begin(), outline.markers.end(), [&](const auto& m) {
          return std::string_view(zrtmask::MarkerKeyword(m.kind)) == kKeywords[choice - 4];
        });
    if (!has_cr) {
      Require(
          after == (marker == outline.markers.end() ? text
                                                    : text.substr(0, marker->insert_at) + value +
                                                          text.substr(marker->insert_at)),
          "the outline's marker is not where the setter inserted the value");
    }
  }
  // The scanner and the tokenizer read CR LF as LF, and the copy back writes it again.
  if (has_cr || choice == 8 || text.find('\n') == std::string::npos) return;
  const std::string crlf_after = RewriteChecked(choice, arguments, WithCrLf(text), &crlf_code);
  Require(crlf_code == code && crlf_after == WithCrLf(after),
          "the CR LF form of a template did not give the CR LF form of the result");
}

// The compiled mask against RenderPage for one fill.
inline void CheckCompiledRender(const zrtmask::Mask& compiled, std::string_view mask,
                                const zrtmask::PageFill& fill) {
  std::string page = "unset";
  std::string compiled_page = "unset";
  zrtmask::RenderProblem problem;
  zrtmask::RenderProblem compiled_problem;
  const int code = zrtmask::RenderPage(mask, fill, &page, &problem);
  const int compiled_code = compiled.Render(fill, &compiled_page, &compiled_problem);
  Require(code == compiled_code, "the compiled mask's code differs from RenderPage's");
  Require(page == compiled_page, "the compiled mask's page differs from RenderPage's");
  Require(problem.part == compiled_problem.part && problem.name == compiled_problem.name &&
              problem.line == compiled_problem.line,
          "the compiled mask reports another part than RenderPage");
}

inline void CheckRender(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const unsigned parts = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t end = rest.find('|');
  if (end == std::string_view::npos) return;
  const std::string_view names = rest.substr(0, end);
  const std::string_view mask = rest.substr(end + 1);
  const std::string value = (parts & 0x80) != 0 ? "a\r\nb\nc\r" : "v <1> \"q\"";
  zrtmask::PageFill fill;
  if ((parts & 0x01) != 0) fill.view_name = value;
  if ((parts & 0x02) != 0) fill.image = zrtmask::ImageFill{value, -1, 7};
  if ((parts & 0x04) != 0) fill.start = value;
  if ((parts & 0x08) != 0) fill.annotations = value;
  if ((parts & 0x10) != 0) fill.url = value;
  if ((parts & 0x20) != 0) fill.db_access = value;
  for (std::size_t at = 0; at <= names.size() && !names.empty();) {
    std::size_t comma = names.find(',', at);
    if (comma == std::string_view::npos) comma = names.size();
    fill.regions.push_back({std::string(names.substr(at, comma - at)), value, (parts & 0x40) != 0});
    at = comma + 1;
  }
  zrtmask::Mask compiled;
  Require(zrtmask::Mask::FromBytes(mask, &compiled) == 0, "a mask did not compile");
  Require(compiled.bytes() == mask, "the compiled mask does not hold the mask's bytes");
  CheckCompiledRender(compiled, mask, fill);
  for (const zrtmask::OutlineRegion& region : compiled.outline().regions) {
    fill.regions.push_back({region.name, value, (parts & 0x40) == 0});
  }
  CheckCompiledRender(compiled, mask, fill);
}

}  // namespace zrtmask::fuzz

#endif  // ZRTMASK_FUZZ_FUZZ_CHECKS_H_
