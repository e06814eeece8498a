// Running a rewrite: in place, keeping the previous text with --backup, or as a dry run on a
// private copy that prints the new text or a unified diff against the template.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ZRTHtmlFile.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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
    // The scratch directory's own c:/temp/ serves, whatever directory a real run would use.
    ::unsetenv("ZRTMASK_TEMP_DIR");
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

}  // namespace zrtmask
