// Running a rewrite: in place, keeping the previous text with --backup, or as a dry run on a
// private copy that prints the new text or a unified diff against the template.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "ZRTHtmlFile.h"
#include "template/tool_entry.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

// Prints a unified diff of the files at old_path and new_path on standard output, both named
// label, with diff(1). Returns 0, or kExitIoError after a message.
int PrintDiff(const std::string& old_path, const std::string& new_path, const std::string& label) {
  std::fflush(stdout);
  const char* argv[] = {"diff",    "-u",          "--label",        label.c_str(),
                        "--label", label.c_str(), old_path.c_str(), new_path.c_str(),
                        nullptr};
  pid_t child = 0;
  int error =
      ::posix_spawnp(&child, "diff", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (error != 0) {
    PrintError("diff", std::string("cannot run it: ") + std::strerror(error));
    return kExitIoError;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      PrintError("diff", std::string("cannot wait for it: ") + std::strerror(errno));
      return kExitIoError;
    }
  }
  // diff exits with 0 for equal files and 1 for different ones; its own messages are on stderr.
  if (WIFEXITED(status) && WEXITSTATUS(status) <= 1) return kOk;
  PrintError("diff", "it failed");
  return kExitIoError;
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

// The names in directory; none when it cannot be read.
std::set<std::string> ListDirectory(const std::string& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    names.insert(entry->path().filename().string());
  }
  return names;
}

// What a failed rewrite in place leaves: a template written part way, and the temporary file,
// which the library keeps after a late failure. Taken before the rewrite and compared after it.
class Leftovers {
 public:
  explicit Leftovers(const std::string& template_path)
      : template_path_(template_path),
        template_exists_(::stat(template_path.c_str(), &before_) == 0),
        temp_before_(ListDirectory(TempDirectory())) {}

  // A note for the message of a failure with code that names the file holding the new text, or
  // "".
  std::string Note(const Command& command, const Invocation& call, int code) const {
    std::string kept;
    const std::string temp_directory = TempDirectory();
    bool record = false;
    for (const std::string& name : ListDirectory(temp_directory)) {
      // A copy-back record (a hidden name) says that the next access finishes the copy back.
      if (name[0] == '.') {
        record = record || temp_before_.count(name) == 0;
        continue;
      }
      if (temp_before_.count(name) == 0) {
        // More than one new file: another process is at work there, and it cannot be told which.
        if (!kept.empty()) return "";
        kept = AbsolutePath(temp_directory + name);
      }
    }
    if (kept.empty() && command.rewrite == CopyMask) kept = DisplayName(call.mask_path);
    if (kept.empty()) return "";
    struct stat after;
    bool written =
        template_exists_ && ::stat(template_path_.c_str(), &after) == 0 &&
        (after.st_size != before_.st_size || after.st_mtim.tv_sec != before_.st_mtim.tv_sec ||
         after.st_mtim.tv_nsec != before_.st_mtim.tv_nsec);
    if (written && record) {
      return "the template holds part of the new text; all of it is in " + kept +
             ", and the next rewrite or query of the template (or zrtmask recover) finishes the "
             "copy";
    }
    if (written) return "the template holds part of the new text; all of it is in " + kept;
    if (command.rewrite == CopyMask) return "";
    // The copy back, which starts once the new text is complete, failed before it wrote.
    const bool item_rewrite =
        command.requirement.needs == Needs::kRegion || command.requirement.needs == Needs::kElement;
    if (code == kTemplateDiskFull || (item_rewrite && code == kTemplateNotWritable)) {
      return "the new text is kept in " + kept;
    }
    return "the temporary file " + kept + " is left behind";
  }

 private:
  std::string template_path_;
  struct stat before_ {};
  bool template_exists_;
  std::set<std::string> temp_before_;
};

// The new text that the rewrite would give the template, asked of the library in memory:
// nothing is written, and the working directory and the environment stay as they are. Fills
// old_text with the template's text (empty when it does not exist) and new_text. Returns the
// library's result code.
int RewriteInMemory(const Command& command, const Invocation& call, std::string& old_text,
                    std::string& new_text) {
  const int code = tool_internal::RewriteToText(
      [&] {
        ZRTHtmlFile file(call.template_path.c_str());
        return command.rewrite(file, call);
      },
      &new_text);
  if (code != kOk) return code;
  // The template was read by the library under its lock; read here for the diff only.
  const int read_error = ReadWholeFile(call.template_path, old_text);
  if (read_error != 0 && read_error != ENOENT) return kTemplateUnreadable;
  return kOk;
}

}  // namespace

int RunRewrite(const Command& command, const Invocation& call) {
  Backup backup;
  if (!call.backup_suffix.empty()) {
    int status = backup.Prepare(call.template_path, call.backup_suffix);
    if (status == kExitIoError) return status;
    if (status != kOk) return ReportResult(command, call, status);
  }
  Leftovers leftovers(call.template_path);
  ZRTHtmlFile file(call.template_path.c_str());
  int code = command.rewrite(file, call);
  int status = backup.Finish(call.template_path, code == kOk);
  if (code != kOk) return ReportResult(command, call, code, leftovers.Note(command, call, code));
  return status;
}

int RunDryRun(const Command& command, const Invocation& call) {
  std::string old_text;
  std::string new_text;
  int code = RewriteInMemory(command, call, old_text, new_text);
  if (code != kOk) return ReportResult(command, call, code);
  if (!call.diff) {
    std::fwrite(new_text.data(), 1, new_text.size(), stdout);
    return FinishOutput();
  }
  int status = PrintUnifiedDiff(old_text, new_text, DisplayName(call.template_path));
  return status != kOk ? status : FinishOutput();
}

int PrintUnifiedDiff(std::string_view old_text, std::string_view new_text,
                     const std::string& label) {
  ScratchDirectory scratch;
  int error = scratch.Create();
  const std::string old_path = scratch.path() + "/old.html";
  const std::string new_path = scratch.path() + "/new.html";
  if (error == 0) error = WriteNewFile(old_path, old_text);
  if (error == 0) error = WriteNewFile(new_path, new_text);
  if (error != 0) {
    PrintError("diff", std::string("cannot keep the texts to compare: ") + std::strerror(error));
    return kExitIoError;
  }
  return PrintDiff(old_path, new_path, label);
}

}  // namespace zrtmask::cli
