// The zrtmask command-line tool: queries and rewrites of template files from the shell, one
// subcommand per library operation, all listed in one command table. Built on include/ alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "zrtmask_module.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

constexpr bool SameText(const char* left, const char* right) {
  return *left == *right && (*left == '\0' || SameText(left + 1, right + 1));
}
static_assert(SameText(ZRTMASK_VERSION_STRING, ZRTMASK_PROJECT_VERSION),
              "zrtmask_module.h and the project version in CMakeLists.txt disagree");

// Exit statuses of the tool's own, from sysexits; the library's result codes stay below them.
constexpr int kExitUsage = 64;     // the command line is wrong
constexpr int kExitNoInput = 66;   // a value file (or standard input) cannot be read
constexpr int kExitSoftware = 70;  // an internal error, such as running out of memory
constexpr int kExitIoError = 74;   // standard output, a backup or the dry-run copy failed

// The temporary directory of the library ("c:/temp/"), relative to the working directory.
constexpr char kTempDirectory[] = "c:/temp";

// ---------------------------------------------------------------------------------------------
// Files

// Reads all of fd into bytes. Returns 0 or the errno value of the failed read.
int ReadAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return 0;
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

// Reads the file at path ("-" is standard input). Returns 0 or the errno value of the failure.
int ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  if (path == "-") return ReadAll(STDIN_FILENO, bytes);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = ReadAll(fd, bytes);
  ::close(fd);
  return error;
}

// Writes all of bytes to fd. Returns 0 or the errno value of the failed write.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return 0;
}

// Creates path exclusively with mode 0600 and writes bytes to it. Returns 0 or an errno value.
int WriteNewFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = WriteAll(fd, bytes);
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

std::string CurrentDirectory() {
  std::error_code error;
  std::string directory = std::filesystem::current_path(error).string();
  return error ? std::string(".") : directory;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return CurrentDirectory() + "/" + path;
}

// Makes a directory the working directory until destroyed, then returns to the previous one.
// The library resolves its temporary directory against the working directory.
class WorkingDirectory {
 public:
  WorkingDirectory()
  // O_PATH where there is one: returning needs no read permission on the directory.
#ifdef O_PATH
      : previous_(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)),
#else
      : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
#endif
        open_error_(previous_ < 0 ? errno : 0) {
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;
  ~WorkingDirectory() {
    if (entered_ && ::fchdir(previous_) != 0) std::perror("zrtmask: cannot return to directory");
    if (previous_ >= 0) ::close(previous_);
  }
  // Returns 0 or the errno value of the failure.
  int Enter(const std::string& directory) {
    if (previous_ < 0) return open_error_;
    if (::chdir(directory.c_str()) != 0) return errno;
    entered_ = true;
    return 0;
  }

 private:
  int previous_;
  int open_error_;
  bool entered_ = false;
};

// A private directory holding its own c:/temp/, removed with everything in it when destroyed.
class ScratchDirectory {
 public:
  ScratchDirectory() = default;
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  // Returns 0 or the errno value of the failure.
  int Create() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zrtmask-dry-run-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return errno;
    path_ = pattern;
    if (::mkdir((path_ + "/c:").c_str(), 0700) != 0) return errno;
    if (::mkdir((path_ + "/c:/temp").c_str(), 0700) != 0) return errno;
    return 0;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Messages and output

// How a path operand is named in messages.
std::string DisplayName(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

void PrintError(const std::string& where, const std::string& message) {
  std::fprintf(stderr, "zrtmask: %s: %s\n", where.c_str(), message.c_str());
}

// Flushes standard output. Returns 0, or kExitIoError after a message when it failed.
int FinishOutput() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
  PrintError("standard output", std::strerror(errno));
  return kExitIoError;
}

void PrintText(const ZRTUnicodeString& text) {
  const char* bytes = text.ConvertToChar();
  std::fwrite(bytes, 1, std::strlen(bytes), stdout);
  std::fputc('\n', stdout);
}

// A name or value for one line of scan output: control bytes and the backslash are escaped.
std::string Escape(const char* text) {
  static const char kHexDigits[] = "0123456789abcdef";
  std::string escaped;
  for (; *text != '\0'; ++text) {
    unsigned char byte = static_cast<unsigned char>(*text);
    switch (byte) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          escaped += "\\x";
          escaped += kHexDigits[byte >> 4];
          escaped += kHexDigits[byte & 0xf];
        } else {
          escaped += static_cast<char>(byte);
        }
    }
  }
  return escaped;
}

// ---------------------------------------------------------------------------------------------
// Unified diff of two texts, by lines (Myers' O(ND) algorithm), for --diff.

// The lines of text, each with its line feed; the last one may lack it.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    size_t length = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

enum class LineEdit { kKeep, kDelete, kInsert };

// Above this many differing lines the diff stops looking for a shortest edit script and replaces
// the differing middle whole: the history that a shortest script needs grows as its square.
constexpr long kMaxEditDistance = 2000;

// An edit script turning old_lines into new_lines: one entry per kept, deleted or inserted line.
std::vector<LineEdit> DiffLines(const std::vector<std::string_view>& old_lines,
                                const std::vector<std::string_view>& new_lines) {
  size_t prefix = 0;
  while (prefix < old_lines.size() && prefix < new_lines.size() &&
         old_lines[prefix] == new_lines[prefix]) {
    ++prefix;
  }
  size_t suffix = 0;
  while (suffix < old_lines.size() - prefix && suffix < new_lines.size() - prefix &&
         old_lines[old_lines.size() - 1 - suffix] == new_lines[new_lines.size() - 1 - suffix]) {
    ++suffix;
  }
  const long old_count = static_cast<long>(old_lines.size() - prefix - suffix);
  const long new_count = static_cast<long>(new_lines.size() - prefix - suffix);
  auto old_at = [&](long index) { return old_lines[prefix + static_cast<size_t>(index)]; };
  auto new_at = [&](long index) { return new_lines[prefix + static_cast<size_t>(index)]; };

  // furthest[k] is the furthest old index reached on diagonal k = x - y; history[d] keeps the
  // diagonals -d..d after step d, for walking the script back.
  const long max_distance = old_count + new_count;
  const long offset = max_distance + 1;
  std::vector<long> furthest(static_cast<size_t>(2 * max_distance + 3), 0);
  auto at = [&](long diagonal) -> long& {
    return furthest[static_cast<size_t>(diagonal + offset)];
  };
  std::vector<std::vector<long>> history;
  long distance = -1;
  for (long d = 0; d <= max_distance && d <= kMaxEditDistance && distance < 0; ++d) {
    for (long k = -d; k <= d; k += 2) {
      long x = (k == -d || (k != d && at(k - 1) < at(k + 1))) ? at(k + 1) : at(k - 1) + 1;
      long y = x - k;
      while (x < old_count && y < new_count && old_at(x) == new_at(y)) {
        ++x;
        ++y;
      }
      at(k) = x;
      if (x >= old_count && y >= new_count) {
        distance = d;
        break;
      }
    }
    history.emplace_back(furthest.begin() + (offset - d), furthest.begin() + (offset + d + 1));
  }

  std::vector<LineEdit> middle;
  if (distance < 0) {
    middle.assign(static_cast<size_t>(old_count), LineEdit::kDelete);
    middle.insert(middle.end(), static_cast<size_t>(new_count), LineEdit::kInsert);
  } else {
    long x = old_count;
    long y = new_count;
    for (long d = distance; d > 0; --d) {
      const std::vector<long>& before = history[static_cast<size_t>(d - 1)];
      auto reached = [&](long diagonal) { return before[static_cast<size_t>(diagonal + d - 1)]; };
      long k = x - y;
      bool inserted = k == -d || (k != d && reached(k - 1) < reached(k + 1));
      long previous_k = inserted ? k + 1 : k - 1;
      long previous_x = reached(previous_k);
      long previous_y = previous_x - previous_k;
      long snake_x = inserted ? previous_x : previous_x + 1;
      for (; x > snake_x; --x, --y) middle.push_back(LineEdit::kKeep);
      middle.push_back(inserted ? LineEdit::kInsert : LineEdit::kDelete);
      x = previous_x;
      y = previous_y;
    }
    for (; x > 0; --x) middle.push_back(LineEdit::kKeep);
    std::reverse(middle.begin(), middle.end());
  }

  std::vector<LineEdit> script(prefix, LineEdit::kKeep);
  // Within each run of changes, deletions come before insertions, as diff(1) writes them.
  for (size_t start = 0; start < middle.size();) {
    if (middle[start] == LineEdit::kKeep) {
      script.push_back(LineEdit::kKeep);
      ++start;
      continue;
    }
    size_t end = start;
    size_t deleted = 0;
    for (; end < middle.size() && middle[end] != LineEdit::kKeep; ++end) {
      if (middle[end] == LineEdit::kDelete) ++deleted;
    }
    script.insert(script.end(), deleted, LineEdit::kDelete);
    script.insert(script.end(), end - start - deleted, LineEdit::kInsert);
    start = end;
  }
  script.insert(script.end(), suffix, LineEdit::kKeep);
  return script;
}

// A hunk range as diff(1) writes it: "first,count", "first" for one line, "before,0" for none.
std::string HunkRange(size_t first, size_t count) {
  if (count == 1) return std::to_string(first + 1);
  return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

void AppendDiffLine(std::string& out, char mark, std::string_view line) {
  out += mark;
  out.append(line.data(), line.size());
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

// A unified diff with three lines of context; empty when the texts are equal.
std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::string& name) {
  constexpr size_t kContext = 3;
  std::vector<std::string_view> old_lines = SplitLines(old_text);
  std::vector<std::string_view> new_lines = SplitLines(new_text);
  std::vector<LineEdit> script = DiffLines(old_lines, new_lines);

  std::string out;
  size_t position = 0;
  // Old and new line index at each position of the script.
  std::vector<size_t> old_index(script.size() + 1);
  std::vector<size_t> new_index(script.size() + 1);
  for (size_t i = 0; i < script.size(); ++i) {
    old_index[i + 1] = old_index[i] + (script[i] != LineEdit::kInsert ? 1 : 0);
    new_index[i + 1] = new_index[i] + (script[i] != LineEdit::kDelete ? 1 : 0);
  }
  while (position < script.size()) {
    while (position < script.size() && script[position] == LineEdit::kKeep) ++position;
    if (position == script.size()) break;
    size_t start = position >= kContext ? position - kContext : 0;
    // Extend the hunk while the next change is close enough to share its context.
    size_t end = position;
    for (;;) {
      while (end < script.size() && script[end] != LineEdit::kKeep) ++end;
      size_t next = end;
      while (next < script.size() && script[next] == LineEdit::kKeep) ++next;
      if (next == script.size() || next - end > 2 * kContext) break;
      end = next;
    }
    size_t stop = std::min(script.size(), end + kContext);
    if (out.empty()) out = "--- " + name + "\n+++ " + name + "\n";
    out += "@@ -" + HunkRange(old_index[start], old_index[stop] - old_index[start]) + " +" +
           HunkRange(new_index[start], new_index[stop] - new_index[start]) + " @@\n";
    for (size_t i = start; i < stop; ++i) {
      switch (script[i]) {
        case LineEdit::kKeep:
          AppendDiffLine(out, ' ', old_lines[old_index[i]]);
          break;
        case LineEdit::kDelete:
          AppendDiffLine(out, '-', old_lines[old_index[i]]);
          break;
        case LineEdit::kInsert:
          AppendDiffLine(out, '+', new_lines[new_index[i]]);
          break;
      }
    }
    position = stop;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The command table

// What the command line gave; the operands that a subcommand does not take stay empty.
struct Invocation {
  std::string template_path;
  std::string tag_name;
  std::string value;        // the value operand as given ("-" for standard input)
  std::string value_file;   // the value file option ("-" for standard input)
  std::string value_bytes;  // the value, read from wherever it came from
  std::string image_source;
  int width = 0;
  int height = 0;
  std::string mask_path;
  std::string types = "63";
  int find_types = 63;
  bool dry_run = false;
  bool diff = false;
  std::string backup_suffix;
};

ZRTUnicodeString Text(const std::string& bytes) {
  return ZRTUnicodeString(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// The template path handed to the library: a read-only subcommand reads "-" from stdin.
const char* QueryPath(const Invocation& call) {
  return call.template_path == "-" ? "/dev/stdin" : call.template_path.c_str();
}

const char* TypeName(int type) {
  switch (type) {
    case ITEM_TAG:
      return "TAG";
    case ITEM_ATTRIBUTE:
      return "ATTRIBUTE";
    case ITEM_TEXT:
      return "TEXT";
    case ITEM_COMMENT:
      return "COMMENT";
    case ITEM_VALUE:
      return "VALUE";
  }
  return "UNKNOWN";
}

int Scan(const Invocation& call) {
  ZRTDcHtmlHandler scanner;
  int code = scanner.OpenFile(QueryPath(call));
  if (code != kOk) return code;
  scanner.SetFindTypes(call.find_types);
  std::string line;
  while (scanner.FindNextItem() != 0) {
    int type = scanner.GetItemType();
    bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    line = std::to_string(scanner.GetCurrentLineNb());
    line += '\t';
    line += TypeName(type);
    line += '\t';
    line += Escape(named ? scanner.GetItemName() : scanner.GetItemValue());
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return kOk;
}

int PrintViewName(const Invocation& call) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTUnicodeString name;
  int code = file.GetZRTViewName(&name);
  if (code == kOk) PrintText(name);
  return code;
}

int PrintTagContent(const Invocation& call) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTUnicodeString content;
  int code = file.GetZRTTagContent(Text(call.tag_name), &content);
  if (code == kOk) PrintText(content);
  return code;
}

int PrintPath(const Invocation& call) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTUnicodeString path;
  int code = file.GetZRTPath(&path);
  if (code == kOk) PrintText(path);
  return code;
}

int PrintTags(const Invocation& call) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTListValZRTUnicodeString tags;
  int code = file.GetAllZRTTag(&tags);
  if (code == kOk) {
    for (const ZRTUnicodeString& tag : tags) PrintText(tag);
  }
  return code;
}

int SetViewName(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTViewName(Text(call.value_bytes));
}
int SetTagContent(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTTagContent(Text(call.tag_name), Text(call.value_bytes));
}
int DumpTagContent(ZRTHtmlFile& file, const Invocation& call) {
  return file.dumpZRTTagContent(Text(call.tag_name), Text(call.value_bytes));
}
int SetImage(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTImageName(Text(call.image_source), call.width, call.height);
}
int SetStart(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTStart(Text(call.value_bytes));
}
int SetAnnotations(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTAnnotations(Text(call.value_bytes));
}
int SetUrl(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTURL(Text(call.value_bytes));
}
int SetDbAccess(ZRTHtmlFile& file, const Invocation& call) {
  return file.SetZRTDBAccess(Text(call.value_bytes));
}
int CopyMask(ZRTHtmlFile& file, const Invocation& call) {
  return file.CopyMaskFile(call.mask_path == "-" ? "/dev/stdin" : call.mask_path.c_str());
}

// For a rewrite that failed because a region is not closed: the line where the region opens,
// found with the scanner and the rules of the operation; 0 when it cannot be told.
int UnclosedRegionLine(const Invocation& call) {
  ZRTDcHtmlHandler scanner;
  if (scanner.OpenFile(call.template_path.c_str()) != kOk) return 0;
  scanner.SetFindTypes(ITEM_TAG);
  const std::string closing = "/" + call.tag_name;
  int open_line = 0;
  while (scanner.FindNextItem() != 0) {
    const char* name = scanner.GetItemName();
    if (name == call.tag_name && open_line == 0) open_line = scanner.GetCurrentLineNb();
    if (name == closing) open_line = 0;
  }
  return open_line;
}

// As UnclosedRegionLine, for the title that follows the view-name marker.
int UnclosedTitleLine(const Invocation& call) {
  ZRTDcHtmlHandler scanner;
  if (scanner.OpenFile(call.template_path.c_str()) != kOk) return 0;
  scanner.SetFindTypes(ITEM_TAG);
  bool in_view_name = false;
  int title_line = 0;
  while (scanner.FindNextItem() != 0) {
    std::string_view name = scanner.GetItemName();
    if (name == "ZRTViewName") {
      in_view_name = true;
    } else if ((name == "title" || name == "TITLE") && in_view_name && title_line == 0) {
      title_line = scanner.GetCurrentLineNb();
    } else if ((name == "/title" || name == "/TITLE") && title_line != 0) {
      in_view_name = false;
      title_line = 0;
    }
  }
  return title_line;
}

// The operands that subcommands take, in the order they are given.
enum class Operand { kTemplate, kTagName, kValue, kImageSource, kWidth, kHeight, kMask };

struct OperandSpec {
  Operand role;
  const char* label;
  const char* help;
};

struct Command {
  const char* name;
  const char* summary;
  std::vector<OperandSpec> operands;
  // The option that reads the value operand from a file instead; null when there is no value.
  const char* value_file_option;
  // A read-only subcommand prints its answer; a rewriting one runs on the template.
  int (*query)(const Invocation& call);
  int (*rewrite)(ZRTHtmlFile& file, const Invocation& call);
  // For code 10: the line where the region that is not closed opens.
  int (*unclosed_line)(const Invocation& call);
};

constexpr char kTemplateHelp[] = "Template file";
constexpr char kQueryTemplateHelp[] = "Template file (- reads standard input)";
constexpr char kTagNameHelp[] = "Name of the marker element, matched exactly";

const std::vector<Command>& Commands() {
  static const std::vector<Command> kCommands = {
      {"scan",
       "List the items of an HTML file: line, type and name or value, one item a line",
       {{Operand::kTemplate, "FILE", kQueryTemplateHelp}},
       nullptr,
       Scan,
       nullptr,
       nullptr},
      {"view-name",
       "Print the view name (the title inside the ZRTViewName element)",
       {{Operand::kTemplate, "FILE", kQueryTemplateHelp}},
       nullptr,
       PrintViewName,
       nullptr,
       nullptr},
      {"tag",
       "Print the content of the marker region NAME (line breaks as line feeds)",
       {{Operand::kTemplate, "FILE", kQueryTemplateHelp},
        {Operand::kTagName, "NAME", kTagNameHelp}},
       nullptr,
       PrintTagContent,
       nullptr,
       nullptr},
      {"path",
       "Print the path held in the path marker (ZRTPath)",
       {{Operand::kTemplate, "FILE", kQueryTemplateHelp}},
       nullptr,
       PrintPath,
       nullptr,
       nullptr},
      {"tags",
       "Print the name of every marker element (ZRT...), one a line, in document order",
       {{Operand::kTemplate, "FILE", kQueryTemplateHelp}},
       nullptr,
       PrintTags,
       nullptr,
       nullptr},
      {"set-view-name",
       "Replace the view name; < and > are escaped",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kValue, "NAME", "New view name (- reads standard input)"}},
       "--name-file",
       nullptr,
       SetViewName,
       UnclosedTitleLine},
      {"set-tag",
       "Fill every marker region NAME with TEXT (< and > escaped, line feeds as <BR>); the "
       "markers become comments",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kTagName, "NAME", kTagNameHelp},
        {Operand::kValue, "TEXT", "New content (- reads standard input)"}},
       "--text-file",
       nullptr,
       SetTagContent,
       UnclosedRegionLine},
      {"dump",
       "Fill every marker region NAME with TEXT written as it is (markup stays markup); the "
       "markers become comments",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kTagName, "NAME", kTagNameHelp},
        {Operand::kValue, "TEXT", "New content (- reads standard input)"}},
       "--text-file",
       nullptr,
       DumpTagContent,
       UnclosedRegionLine},
      {"set-image",
       "Set src, width and height of the image inside the ZRTImage region; the region's "
       "markers become comments",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kImageSource, "SRC", "New image source"},
        {Operand::kWidth, "WIDTH", "New width"},
        {Operand::kHeight, "HEIGHT", "New height"}},
       nullptr,
       nullptr,
       SetImage,
       nullptr},
      {"set-start",
       "Insert VALUE on a line of its own after the first <QLXSTART> marker",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kValue, "VALUE", "Value to insert (- reads standard input)"}},
       "--value-file",
       nullptr,
       SetStart,
       nullptr},
      {"set-annotations",
       "Insert VALUE on a line of its own after the first <QLXANNOT> marker",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kValue, "VALUE", "Value to insert (- reads standard input)"}},
       "--value-file",
       nullptr,
       SetAnnotations,
       nullptr},
      {"set-url",
       "Insert VALUE on a line of its own after the first <QLXURL> marker",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kValue, "VALUE", "Value to insert (- reads standard input)"}},
       "--value-file",
       nullptr,
       SetUrl,
       nullptr},
      {"set-dbaccess",
       "Insert VALUE on a line of its own after the first <QLXDBACCESS> marker",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kValue, "VALUE", "Value to insert (- reads standard input)"}},
       "--value-file",
       nullptr,
       SetDbAccess,
       nullptr},
      {"copy-mask",
       "Replace the template's text with the bytes of the mask file",
       {{Operand::kTemplate, "FILE", kTemplateHelp},
        {Operand::kMask, "MASK", "Mask file (- reads standard input)"}},
       nullptr,
       nullptr,
       CopyMask,
       nullptr},
  };
  return kCommands;
}

// ---------------------------------------------------------------------------------------------
// Running a command

// What is wrong with the temporary directory of a real run, or "" when nothing is.
std::string TempDirectoryProblem() {
  std::string directory = CurrentDirectory() + "/" + kTempDirectory + "/";
  struct stat info;
  if (::stat(kTempDirectory, &info) != 0) {
    return "the directory " + directory + " does not exist (it is never created for you)";
  }
  if (!S_ISDIR(info.st_mode)) return directory + " is not a directory";
  if (::access(kTempDirectory, W_OK) != 0) return "the directory " + directory + " is not writable";
  return "";
}

// Reports a failed operation on stderr and returns its code as the exit status.
int ReportResult(const Command& command, const Invocation& call, int code) {
  std::string where = DisplayName(call.template_path);
  std::string message = DescribeResult(code);
  if (code == kMaskMissing || code == kMaskUnreadable) where = DisplayName(call.mask_path);
  if (code == kRegionNotClosed && command.unclosed_line != nullptr) {
    int line = command.unclosed_line(call);
    if (line > 0) where += ":" + std::to_string(line);
  }
  // A dry run has a temporary directory of its own: the one here played no part.
  const std::string temp_problem = call.dry_run ? "" : TempDirectoryProblem();
  if (code == kTempNotWritable && !temp_problem.empty()) message += ": " + temp_problem;
  // A marker rewrite also answers 8 for a template it cannot read, and for a temporary file it
  // cannot create: say which.
  if (code == kTemplateNotWritable) {
    const char* path = call.template_path.c_str();
    if (::access(path, F_OK) != 0) {
      message += ": it does not exist";
    } else if (::access(path, R_OK) != 0) {
      message += ": it is not readable";
    } else if (::access(path, W_OK) == 0 && !temp_problem.empty()) {
      message = DescribeResult(kTempNotWritable) + (": " + temp_problem);
    }
  }
  PrintError(where, message);
  return code;
}

// Keeps the template's previous text beside it. The copy is written under a private name
// before the rewrite; it becomes FILE+SUFFIX when the rewrite succeeds, or when it failed after
// the template was changed, and is removed otherwise, so a failed run leaves no trace.
class Backup {
 public:
  Backup() = default;
  Backup(const Backup&) = delete;
  Backup& operator=(const Backup&) = delete;
  ~Backup() {
    if (!staging_.empty()) ::unlink(staging_.c_str());
  }

  // Returns 0, a result code when the template cannot be read (a template that does not exist
  // needs no backup), or kExitIoError after a message.
  int Prepare(const std::string& template_path, const std::string& suffix) {
    target_ = template_path + suffix;
    int error = ReadWholeFile(template_path, previous_);
    if (error == ENOENT) return kOk;
    if (error == EACCES || error == EPERM) return kTemplateUnreadable;
    if (error != 0) return kOpenFailed;
    struct stat info;
    if (::stat(template_path.c_str(), &info) != 0) return kOpenFailed;
    std::string staging = target_ + ".XXXXXX";
    int fd = ::mkstemp(staging.data());
    if (fd < 0) return Fail(errno);
    staging_ = staging;
    error = WriteAll(fd, previous_);
    if (error == 0 && ::fchmod(fd, info.st_mode & 07777) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return error == 0 ? kOk : Fail(error);
  }

  // Returns 0, or kExitIoError after a message.
  int Finish(const std::string& template_path, bool succeeded) {
    if (staging_.empty()) return kOk;
    if (!succeeded) {
      std::string current;
      if (ReadWholeFile(template_path, current) == 0 && current == previous_) return kOk;
      PrintError(DisplayName(template_path), "the previous text is kept in " + target_);
    }
    if (::rename(staging_.c_str(), target_.c_str()) != 0) return Fail(errno);
    staging_.clear();
    return kOk;
  }

 private:
  int Fail(int error) {
    PrintError(target_, std::string("cannot write the backup: ") + std::strerror(error));
    return kExitIoError;
  }

  std::string target_;
  std::string staging_;
  std::string previous_;
};

int RunRewrite(const Command& command, const Invocation& call) {
  Backup backup;
  if (!call.backup_suffix.empty()) {
    int status = backup.Prepare(call.template_path, call.backup_suffix);
    if (status == kExitIoError) return status;
    if (status != kOk) return ReportResult(command, call, status);
  }
  ZRTHtmlFile file(call.template_path.c_str());
  int code = command.rewrite(file, call);
  int status = backup.Finish(call.template_path, code == kOk);
  if (code != kOk) return ReportResult(command, call, code);
  return status;
}

// Runs the rewrite on a private copy of the template, in a scratch directory with its own
// c:/temp/, and prints the new text (or a diff against the template). The copy keeps the
// template's permission bits, so that the library's checks answer as they would for the template.
int RunDryRun(const Command& command, const Invocation& call) {
  std::string old_text;
  int read_error = ReadWholeFile(call.template_path, old_text);
  struct stat info;
  bool exists = read_error != ENOENT;
  if (exists && ::stat(call.template_path.c_str(), &info) != 0) {
    return ReportResult(command, call, kOpenFailed);
  }
  if (exists && read_error != 0 && read_error != EACCES && read_error != EPERM) {
    return ReportResult(command, call, kOpenFailed);
  }

  ScratchDirectory scratch;
  int error = scratch.Create();
  const std::string copy_path = scratch.path() + "/template.html";
  if (error == 0 && exists) error = WriteNewFile(copy_path, old_text);
  if (error == 0 && exists && ::chmod(copy_path.c_str(), info.st_mode & 07777) != 0) error = errno;
  if (error != 0) {
    PrintError("dry run", std::string("cannot prepare a private copy: ") + std::strerror(error));
    return kExitIoError;
  }

  int code;
  {
    WorkingDirectory inside;
    error = inside.Enter(scratch.path());
    if (error != 0) {
      PrintError("dry run",
                 std::string("cannot enter ") + scratch.path() + ": " + std::strerror(error));
      return kExitIoError;
    }
    ZRTHtmlFile file("template.html");
    code = command.rewrite(file, call);
  }
  if (code != kOk) return ReportResult(command, call, code);

  std::string new_text;
  error = ReadWholeFile(copy_path, new_text);
  if (error != 0) {
    PrintError("dry run", std::string("cannot read the private copy: ") + std::strerror(error));
    return kExitIoError;
  }
  const std::string output =
      call.diff ? UnifiedDiff(old_text, new_text, DisplayName(call.template_path)) : new_text;
  std::fwrite(output.data(), 1, output.size(), stdout);
  return FinishOutput();
}

// Replaces the help text's "--backup{~}" (the flag's default in CLI11's notation) by "--backup".
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_name(const CLI::Option* option, bool is_positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, is_positional);
    size_t open = name.find('{');
    size_t close = name.find('}', open);
    if (open != std::string::npos && close != std::string::npos) name.erase(open, close - open + 1);
    return name;
  }
};

// The options of one subcommand that are checked after parsing.
struct Subcommand {
  const Command* command;
  CLI::App* app;
  CLI::Option* value = nullptr;
  CLI::Option* value_file = nullptr;
};

Subcommand AddSubcommand(CLI::App& app, const Command& command, Invocation& call) {
  Subcommand sub{&command, app.add_subcommand(command.name, command.summary)};
  for (const OperandSpec& operand : command.operands) {
    CLI::Option* option = nullptr;
    switch (operand.role) {
      case Operand::kTemplate:
        option = sub.app->add_option(operand.label, call.template_path);
        break;
      case Operand::kTagName:
        option = sub.app->add_option(operand.label, call.tag_name);
        break;
      case Operand::kValue:
        option = sub.app->add_option(operand.label, call.value);
        break;
      case Operand::kImageSource:
        option = sub.app->add_option(operand.label, call.image_source);
        break;
      case Operand::kWidth:
        option = sub.app->add_option(operand.label, call.width);
        break;
      case Operand::kHeight:
        option = sub.app->add_option(operand.label, call.height);
        break;
      case Operand::kMask:
        option = sub.app->add_option(operand.label, call.mask_path);
        break;
    }
    option->description(operand.help)->type_name("");
    if (operand.role == Operand::kValue) {
      sub.value = option;
    } else {
      option->required();
    }
  }
  if (command.value_file_option != nullptr) {
    std::string help = std::string("Read ") + sub.value->get_name() +
                       " from the file F instead (- reads standard input); one final line "
                       "feed is dropped";
    sub.value_file = sub.app->add_option(command.value_file_option, call.value_file, help)
                         ->type_name("F")
                         ->excludes(sub.value);
  }
  if (command.query == Scan) {
    sub.app
        ->add_option("--types", call.types,
                     "Item types to list: a mask (1 tag, 2 attribute, 4 text, 8 comment, "
                     "32 value; default 63) or names joined by commas, e.g. tag,text")
        ->type_name("MASK");
  }
  if (command.rewrite != nullptr) {
    CLI::Option* dry_run = sub.app->add_flag(
        "--dry-run", call.dry_run,
        "Rewrite a private copy and print its new text; the template is not touched");
    CLI::Option* diff = sub.app->add_flag(
        "--diff", call.diff, "With a dry run, print a unified diff against the template instead");
    sub.app
        ->add_flag("--backup{~}", call.backup_suffix,
                   "Keep the template's previous text in FILE followed by SUFFIX (default ~)")
        ->option_text("[=SUFFIX]")
        ->excludes(dry_run)
        ->excludes(diff);
    sub.app->footer(
        "The template is rewritten in place: the same file, inode, mode and links. It needs the "
        "directory c:/temp/ under the working directory. Silent on success; see zrtmask(1).");
  }
  return sub;
}

// Parses a --types argument: a number from 0 to 63, or item type names joined by commas.
bool ParseTypes(const std::string& text, int& types) {
  if (!text.empty() &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (text.size() > 2) return false;
    types = std::stoi(text);
    return types <= 63;
  }
  types = 0;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(',', start);
    std::string name =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    if (name == "tag")
      types |= ITEM_TAG;
    else if (name == "attribute")
      types |= ITEM_ATTRIBUTE;
    else if (name == "text")
      types |= ITEM_TEXT;
    else if (name == "comment")
      types |= ITEM_COMMENT;
    else if (name == "value")
      types |= ITEM_VALUE;
    else
      return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

int UsageError(const std::string& subcommand, const std::string& message) {
  std::fprintf(stderr, "zrtmask: %s\nRun 'zrtmask%s%s --help' for more information.\n",
               message.c_str(), subcommand.empty() ? "" : " ", subcommand.c_str());
  return kExitUsage;
}

// Checks what the parser cannot and reads the value. Returns 0 or an exit status.
int Prepare(const Subcommand& sub, Invocation& call) {
  const Command& command = *sub.command;
  if (call.diff) call.dry_run = true;
  if (command.rewrite != nullptr && call.template_path == "-") {
    return UsageError(command.name, "a template to rewrite cannot be standard input (-)");
  }
  if (command.query == Scan && !ParseTypes(call.types, call.find_types)) {
    return UsageError(command.name,
                      "--types: not a mask from 0 to 63 nor item type names: " + call.types);
  }
  if (sub.value != nullptr) {
    bool from_file = sub.value_file->count() > 0;
    if (!from_file && sub.value->count() == 0) {
      return UsageError(command.name, sub.value->get_name() + " or " + sub.value_file->get_name() +
                                          " is required");
    }
    const std::string& source = from_file ? call.value_file : call.value;
    if (from_file || source == "-") {
      int error = ReadWholeFile(source, call.value_bytes);
      if (error != 0) {
        PrintError(DisplayName(source), std::strerror(error));
        return kExitNoInput;
      }
      // One final line end belongs to the file, not to the value, as in "$(cat F)".
      if (!call.value_bytes.empty() && call.value_bytes.back() == '\n') {
        call.value_bytes.pop_back();
        if (!call.value_bytes.empty() && call.value_bytes.back() == '\r') {
          call.value_bytes.pop_back();
        }
      }
    } else {
      call.value_bytes = call.value;
    }
  }
  // A dry run works in another directory: a relative mask path must still name the same file.
  if (call.dry_run && call.mask_path != "-") call.mask_path = AbsolutePath(call.mask_path);
  return kOk;
}

int Main(int argc, char** argv) {
  CLI::App app("Reads and rewrites HTML template files (masks).", "zrtmask");
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("--version", "zrtmask " ZRTMASK_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(
      "Run 'zrtmask SUBCOMMAND --help' for the operands of each. Exit status: the library's "
      "result code (0 on success), 64 on a usage error; see zrtmask(1).");

  // Without this, a misspelt subcommand would be reported as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    const std::vector<Command>& commands = Commands();
    if (std::none_of(commands.begin(), commands.end(), [&](const Command& command) {
          return command.name == std::string_view(argv[1]);
        })) {
      return UsageError("", std::string("unknown subcommand: ") + argv[1]);
    }
  }

  Invocation call;
  std::vector<Subcommand> subcommands;
  for (const Command& command : Commands()) {
    subcommands.push_back(AddSubcommand(app, command, call));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) {
      app.exit(error, std::cout, std::cerr);
      std::cout.flush();
      return FinishOutput();
    }
    std::string subcommand;
    for (const Subcommand& sub : subcommands) {
      if (sub.app->parsed()) subcommand = sub.command->name;
    }
    return UsageError(subcommand, error.what());
  }

  for (const Subcommand& sub : subcommands) {
    if (!sub.app->parsed()) continue;
    const Command& command = *sub.command;
    int status = Prepare(sub, call);
    if (status != kOk) return status;
    if (command.query != nullptr) {
      int code = command.query(call);
      status = FinishOutput();
      return code != kOk ? ReportResult(command, call, code) : status;
    }
    return call.dry_run ? RunDryRun(command, call) : RunRewrite(command, call);
  }
  return UsageError("", "a subcommand is required");
}

}  // namespace
}  // namespace zrtmask

int main(int argc, char** argv) {
  try {
    return zrtmask::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zrtmask: %s\n", error.what());
    return zrtmask::kExitSoftware;
  }
}
