// Output and messages of the tool: errors on standard error as "zrtmask: WHERE: MESSAGE", answers
// on standard output, and the explanation of a failed operation's result code.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "template/tool_entry.h"
#include "tools/outline.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

// What is wrong with the temporary directory of a real run, or "" when nothing is.
std::string TempDirectoryProblem() {
  const std::string temp = TempDirectory();
  std::string directory = AbsolutePath(temp);
  if (directory.back() != '/') directory += '/';
  struct stat info;
  if (::stat(temp.c_str(), &info) != 0) {
    return "the directory " + directory + " does not exist (it is never created for you)";
  }
  if (!S_ISDIR(info.st_mode)) return directory + " is not a directory";
  if (::access(temp.c_str(), W_OK) != 0) return "the directory " + directory + " is not writable";
  // The library refuses such a folder: another user could swap the temporary file there.
  if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return "the directory " + directory +
           " is writable by other users without the sticky bit (chmod +t it, or use another)";
  }
  return "";
}

}  // namespace

std::string DisplayName(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

void PrintError(const std::string& where, const std::string& message) {
  std::fprintf(stderr, "zrtmask: %s: %s\n", where.c_str(), message.c_str());
}

int FinishOutput() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
  PrintError("standard output", std::strerror(errno));
  return kExitIoError;
}

void PrintJson(const nlohmann::json& document) {
  const std::string text = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void PrintText(const ZRTUnicodeString& text) {
  const char* bytes = text.ConvertToChar();
  std::fwrite(bytes, 1, std::strlen(bytes), stdout);
  std::fputc('\n', stdout);
}

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

int UsageError(const std::string& subcommand, const std::string& message) {
  std::fprintf(stderr, "zrtmask: %s\nRun 'zrtmask%s%s --help' for more information.\n",
               message.c_str(), subcommand.empty() ? "" : " ", subcommand.c_str());
  return kExitUsage;
}

int ReportResult(const Command& command, const Invocation& call, int code,
                 const std::string& note) {
  std::string where = DisplayName(call.template_path);
  std::string message = DescribeResult(code);
  if (code == kMaskMissing || code == kMaskUnreadable) where = DisplayName(call.mask_path);
  if (code == kRegionNotClosed) {
    const bool region = command.requirement.needs == Needs::kRegion;
    Outline outline;
    int line = 0;
    if (ReadOutline(call.template_path, region ? call.tag_name : "", outline) == kOk) {
      line = region ? outline.UnclosedRegionLine(call.tag_name) : outline.UnclosedTitleLine();
    }
    if (line > 0) where += ":" + std::to_string(line);
  }
  const tool_internal::Detail detail = tool_internal::LastDetail();
  if (code == kItemTooLong && detail.kind == tool_internal::kItemTooLong && detail.line > 0) {
    where += ":" + std::to_string(detail.line);
  }
  if ((code == kOpenFailed || code == kTemplateUnreadable) &&
      detail.kind == tool_internal::kLockTimeout) {
    message += ": the template is locked by another process (waited 30 s for it)";
  }
  // A dry run writes no temporary file: the directory played no part.
  const std::string temp_problem = call.dry_run ? "" : TempDirectoryProblem();
  if (code == kTempNotWritable && !temp_problem.empty()) message += ": " + temp_problem;
  // A marker rewrite also answers 8 for a template it cannot read, and for a temporary file it
  // cannot create: say which.
  struct stat info;
  const bool not_regular = code != kMaskUnreadable && code != kMaskMissing &&
                           ::stat(call.template_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
  if (code == kTemplateUnreadable && not_regular) message += ": it is not a regular file";
  if (code == kTemplateNotWritable) {
    const char* path = call.template_path.c_str();
    if (not_regular) {
      message += ": it is not a regular file";
    } else if (::access(path, F_OK) != 0) {
      message += ": it does not exist";
    } else if (::access(path, R_OK) != 0) {
      message += ": it is not readable";
    } else if (::access(path, W_OK) == 0 && !temp_problem.empty()) {
      message = DescribeResult(kTempNotWritable) + (": " + temp_problem);
    }
  }
  if (!note.empty()) message += "; " + note;
  PrintError(where, message);
  return code;
}

int ReportMissing(const Command& command, const Invocation& call) {
  const Requirement& requirement = command.requirement;
  PrintError(DisplayName(call.template_path), requirement.needs == Needs::kRegion
                                                  ? "no region " + call.tag_name
                                                  : std::string("no marker ") + requirement.marker);
  return kExitDataError;
}

}  // namespace zrtmask::cli
