// What the files of the zrtmask tool share: exit statuses, the command table's types, and the
// helpers for files, messages and output. The tool is built on include/ alone.
#ifndef ZRTMASK_TOOLS_TOOL_H_
#define ZRTMASK_TOOLS_TOOL_H_

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"

namespace CLI {
class App;
}

namespace zrtmask::cli {

// Every item type of the scanner.
constexpr int kAllItemTypes = 63;

// Exit statuses of the tool's own, from sysexits; the library's result codes stay below them.
constexpr int kExitUsage = 64;      // the command line is wrong
constexpr int kExitDataError = 65;  // the template lacks what was named, or check found errors
constexpr int kExitNoInput = 66;    // a value file (or standard input) cannot be read
constexpr int kExitSoftware = 70;   // an internal error, such as running out of memory
constexpr int kExitIoError = 74;    // standard output, a backup or the dry-run copy failed

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
  std::string read_path;  // what a query reads: the template, or a private copy of standard input
  std::string tag_name;
  std::string value;        // the value operand as given ("-" for standard input)
  std::string value_file;   // the value file option ("-" for standard input)
  std::string value_bytes;  // the value, read from wherever it came from
  std::string image_source;
  int width = 0;
  int height = 0;
  std::string mask_path;
  std::string mask_read_path;  // where a mask from standard input ("-") was copied
  std::vector<int> types;  // item type masks and names, as --types gave them
  int find_types = 0;
  bool json = false;     // print one JSON document instead of lines
  bool lenient = false;  // accept a template without the region or marker named
  bool dry_run = false;
  bool diff = false;
  std::string backup_suffix;
  std::string temp_dir;  // --temp-dir: replaces c:/temp/ through ZRTMASK_TEMP_DIR
};

// The subcommands with options of their own, each from its own file.
Subcommand RenderSubcommand();  // render.cc
Subcommand CheckSubcommand();   // check.cc
Subcommand RecoverSubcommand();  // recover.cc
Subcommand PublishSubcommand();  // publish.cc
Subcommand OutlineSubcommand();  // outline_command.cc

// The page that a publish at path would replace, for a diff (publish.cc): the regular file at
// path itself, read without following a link there and without waiting on a FIFO; empty when
// there is none (a link, a FIFO or a device is replaced by the page, not read).
std::string ReadReplacedPage(const std::string& path);

// Reads an image size as set-image and render --image take it: decimal digits (a leading "+"
// allowed, leading zeros read as decimal), at most INT_MAX. Returns false for anything else
// ("1.5", "7abc", "1e3", "0x10", "-1", blanks).
bool ParseSize(std::string_view text, int* size);

// The operands that the library operations take, in the order they are given.
enum class Operand { kTemplate, kTagName, kValue, kImageSource, kWidth, kHeight, kMask };

struct OperandSpec {
  Operand role;
  const char* label;
  const char* help;
};

// What a template must hold for an operation, unless --lenient is given.
enum class Needs {
  kNothing,
  kRegion,            // the region that the NAME operand names
  kElement,           // the marker element `marker`, such as ZRTViewName
  kProcessingMarker,  // the processing marker `marker`, such as QLXSTART, in either case
};

struct Requirement {
  Needs needs = Needs::kNothing;
  const char* marker = nullptr;
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
  // What the template must hold.
  Requirement requirement;
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

// Runs an operation whose command line has been checked: makes sure that the template holds what
// the operation names, then runs the query, the rewrite or the dry run. Returns the exit status.
int RunOperation(const Command& command, Invocation& call);

// ---------------------------------------------------------------------------------------------
// Running a rewrite: in place with an optional backup, or as a dry run (dry_run.cc)

// Rewrites the template, keeping its previous text when asked. Returns the exit status.
int RunRewrite(const Command& command, const Invocation& call);
// Rewrites a private copy and prints its new text, or a diff. Returns the exit status.
int RunDryRun(const Command& command, const Invocation& call);
// Prints a unified diff of old_text against new_text with three lines of context, both sides
// named label, made by diff(1); nothing for equal texts. Returns 0, or kExitIoError after a
// message.
int PrintUnifiedDiff(std::string_view old_text, std::string_view new_text,
                     const std::string& label);

// ---------------------------------------------------------------------------------------------
// Files (files.cc)

// Reads the file at path ("-" is standard input). Returns 0 or the errno value of the failure
// (ENODEV for a device, which is refused: it may never end).
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
// The directory of the library's temporary files in a real run, ending in '/', as the library
// finds it: c:/temp/, relative to the working directory, unless ZRTMASK_TEMP_DIR (which
// --temp-dir sets) names another.
std::string TempDirectory();

// A private directory under $TMPDIR (or /tmp) holding its own c:/temp/, removed with everything
// in it when destroyed.
class ScratchDirectory {
 public:
  ScratchDirectory() = default;
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();
  // Returns 0 or the errno value of the failure.
  int Create();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Output and messages (output.cc)

// How a path operand is named in messages.
std::string DisplayName(const std::string& path);
void PrintError(const std::string& where, const std::string& message);
// Reports a usage error for the subcommand (or the tool, when empty). Returns kExitUsage.
int UsageError(const std::string& subcommand, const std::string& message);
// Flushes standard output. Returns 0, or kExitIoError after a message when it failed.
int FinishOutput();
// Prints document on standard output, with a line feed. Bytes that are not UTF-8 (templates are
// 8-bit text) become U+FFFD.
void PrintJson(const nlohmann::json& document);
// Prints text and a line feed on standard output.
void PrintText(const ZRTUnicodeString& text);
// A name or value for one line of scan output: control bytes and the backslash are escaped.
std::string Escape(const char* text);
// Reports a failed operation on stderr, with a note when one is given, and returns its code as
// the exit status.
int ReportResult(const Command& command, const Invocation& call, int code,
                 const std::string& note = "");
// Reports that the template lacks the region or marker that the command names. Returns
// kExitDataError.
int ReportMissing(const Command& command, const Invocation& call);

}  // namespace zrtmask::cli

#endif  // ZRTMASK_TOOLS_TOOL_H_
