// What the files of the zrtmask tool share: exit statuses, the command table's types, and the
// helpers for files, messages and output. The tool is built on include/ alone.
#ifndef ZRTMASK_TOOLS_TOOL_H_
#define ZRTMASK_TOOLS_TOOL_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"

namespace CLI {
class App;
}

namespace zrtmask {

// Exit statuses of the tool's own, from sysexits; the library's result codes stay below them.
constexpr int kExitUsage = 64;     // the command line is wrong
constexpr int kExitNoInput = 66;   // a value file (or standard input) cannot be read
constexpr int kExitSoftware = 70;  // an internal error, such as running out of memory
constexpr int kExitIoError = 74;   // standard output, a backup or the dry-run copy failed

// ---------------------------------------------------------------------------------------------
// The command table

// One subcommand: its name, a one-line summary for --help, and `define`, which adds the
// subcommand's operands and options to its parser and returns what runs it once the command line
// is parsed. A subcommand with options of its own lives in a file of its own, which provides a
// function returning its Subcommand; main.cc lists it in the table.
struct Subcommand {
  const char* name;
  const char* summary;
  std::function<std::function<int()>(CLI::App& app)> define;
};

// What the command line gave to a library operation; operands it does not take stay empty.
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
  std::string temp_dir;  // --temp-dir: replaces c:/temp/ through ZRTMASK_TEMP_DIR
};

// The operands that the library operations take, in the order they are given.
enum class Operand { kTemplate, kTagName, kValue, kImageSource, kWidth, kHeight, kMask };

struct OperandSpec {
  Operand role;
  const char* label;
  const char* help;
};

// One library operation as a subcommand.
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

// ---------------------------------------------------------------------------------------------
// The queries and rewrites (operations.cc)

int Scan(const Invocation& call);
int PrintViewName(const Invocation& call);
int PrintTagContent(const Invocation& call);
int PrintPath(const Invocation& call);
int PrintTags(const Invocation& call);
int SetViewName(ZRTHtmlFile& file, const Invocation& call);
int SetTagContent(ZRTHtmlFile& file, const Invocation& call);
int DumpTagContent(ZRTHtmlFile& file, const Invocation& call);
int SetImage(ZRTHtmlFile& file, const Invocation& call);
int SetStart(ZRTHtmlFile& file, const Invocation& call);
int SetAnnotations(ZRTHtmlFile& file, const Invocation& call);
int SetUrl(ZRTHtmlFile& file, const Invocation& call);
int SetDbAccess(ZRTHtmlFile& file, const Invocation& call);
int CopyMask(ZRTHtmlFile& file, const Invocation& call);
// For a rewrite that failed with code 10: the line where the region, or the title, that is not
// closed opens; 0 when it cannot be told.
int UnclosedRegionLine(const Invocation& call);
int UnclosedTitleLine(const Invocation& call);

// ---------------------------------------------------------------------------------------------
// Running a rewrite: in place with an optional backup, or as a dry run (dry_run.cc)

// Rewrites the template, keeping its previous text when asked. Returns the exit status.
int RunRewrite(const Command& command, const Invocation& call);
// Rewrites a private copy and prints its new text, or a diff. Returns the exit status.
int RunDryRun(const Command& command, const Invocation& call);
// A unified diff with three lines of context, both sides named name; empty for equal texts.
std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::string& name);

// ---------------------------------------------------------------------------------------------
// Subcommands with options of their own, each in its own file

Subcommand RenderSubcommand();  // render.cc

// ---------------------------------------------------------------------------------------------
// Files (files.cc)

// Reads the file at path ("-" is standard input). Returns 0 or the errno value of the failure.
int ReadWholeFile(const std::string& path, std::string& bytes);
// A value as the tool takes it: the argument itself, or, when from_file is set or the argument is
// "-", the file it names (standard input for "-") less one final line end, as in "$(cat F)".
// Returns 0, or kExitNoInput after a message naming the file.
int ReadValue(const std::string& argument, bool from_file, std::string& bytes);
// Writes all of bytes to fd. Returns 0 or the errno value of the failed write.
int WriteAll(int fd, std::string_view bytes);
// Creates path exclusively with mode 0600 and writes bytes to it. Returns 0 or an errno value.
int WriteNewFile(const std::string& path, std::string_view bytes);
std::string CurrentDirectory();
std::string AbsolutePath(const std::string& path);

// ---------------------------------------------------------------------------------------------
// Output and messages (output.cc)

// How a path operand is named in messages.
std::string DisplayName(const std::string& path);
void PrintError(const std::string& where, const std::string& message);
// Reports a usage error for the subcommand (or the tool, when empty). Returns kExitUsage.
int UsageError(const std::string& subcommand, const std::string& message);
// Flushes standard output. Returns 0, or kExitIoError after a message when it failed.
int FinishOutput();
// Prints text and a line feed on standard output.
void PrintText(const ZRTUnicodeString& text);
// A name or value for one line of scan output: control bytes and the backslash are escaped.
std::string Escape(const char* text);
// Reports a failed operation on stderr and returns its code as the exit status.
int ReportResult(const Command& command, const Invocation& call, int code);

}  // namespace zrtmask

#endif  // ZRTMASK_TOOLS_TOOL_H_
