// The zrtmask command-line tool: queries and rewrites of template files from the shell. This file
// holds the command table, with one subcommand per library operation, and main.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "tools/tool.h"
#include "zrtmask_module.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

constexpr bool SameText(const char* left, const char* right) {
  return *left == *right && (*left == '\0' || SameText(left + 1, right + 1));
}
static_assert(SameText(ZRTMASK_VERSION_STRING, ZRTMASK_PROJECT_VERSION),
              "zrtmask_module.h and the project version in CMakeLists.txt disagree");

constexpr char kTemplateHelp[] = "Template file";
constexpr char kQueryTemplateHelp[] = "Template file (- reads standard input)";
constexpr char kTagNameHelp[] = "Name of the marker element, matched exactly";

// The library operations, in the order that --help lists them.
const std::vector<Command>& Operations() {
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

// The options of an operation's subcommand that are checked after parsing.
struct OperationOptions {
  CLI::Option* value = nullptr;
  CLI::Option* value_file = nullptr;
};

// Checks what the parser cannot and reads the value. Returns 0 or an exit status.
int Prepare(const Command& command, const OperationOptions& sub, Invocation& call) {
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
    const int status =
        ReadValue(from_file ? call.value_file : call.value, from_file, call.value_bytes);
    if (status != 0) return status;
  }
  // A dry run works in another directory: a relative mask path must still name the same file.
  if (call.dry_run && call.mask_path != "-") call.mask_path = AbsolutePath(call.mask_path);
  return kOk;
}

// Adds the operands and options of a library operation to its subcommand's parser.
OperationOptions AddOperands(CLI::App& app, const Command& command, Invocation& call) {
  OperationOptions sub;
  for (const OperandSpec& operand : command.operands) {
    CLI::Option* option = nullptr;
    switch (operand.role) {
      case Operand::kTemplate:
        option = app.add_option(operand.label, call.template_path);
        break;
      case Operand::kTagName:
        option = app.add_option(operand.label, call.tag_name);
        break;
      case Operand::kValue:
        option = app.add_option(operand.label, call.value);
        break;
      case Operand::kImageSource:
        option = app.add_option(operand.label, call.image_source);
        break;
      case Operand::kWidth:
        option = app.add_option(operand.label, call.width);
        break;
      case Operand::kHeight:
        option = app.add_option(operand.label, call.height);
        break;
      case Operand::kMask:
        option = app.add_option(operand.label, call.mask_path);
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
    sub.value_file = app.add_option(command.value_file_option, call.value_file, help)
                         ->type_name("F")
                         ->excludes(sub.value);
  }
  if (command.query == Scan) {
    app.add_option("--types", call.types,
                     "Item types to list: a mask (1 tag, 2 attribute, 4 text, 8 comment, "
                     "32 value; default 63) or names joined by commas, e.g. tag,text")
        ->type_name("MASK");
  }
  if (command.rewrite != nullptr) {
    CLI::Option* dry_run = app.add_flag(
        "--dry-run", call.dry_run,
        "Rewrite a private copy and print its new text; the template is not touched");
    CLI::Option* diff = app.add_flag(
        "--diff", call.diff, "With a dry run, print a unified diff against the template instead");
    app.add_flag("--backup{~}", call.backup_suffix,
                   "Keep the template's previous text in FILE followed by SUFFIX (default ~)")
        ->option_text("[=SUFFIX]")
        ->excludes(dry_run)
        ->excludes(diff);
    app.add_option("--temp-dir", call.temp_dir,
                   "Put the temporary file in the existing directory DIR instead of c:/temp/ "
                   "(as ZRTMASK_TEMP_DIR does)")
        ->type_name("DIR");
    app.footer(
        "The template is rewritten in place: the same file, inode, mode and links. It needs the "
        "directory c:/temp/ under the working directory, or the one that --temp-dir or "
        "ZRTMASK_TEMP_DIR names. Silent on success; see zrtmask(1).");
  }
  return sub;
}

// A library operation as a subcommand.
Subcommand Operation(const Command& command) {
  return {command.name, command.summary, [&command](CLI::App& app) {
            auto call = std::make_shared<Invocation>();
            OperationOptions sub = AddOperands(app, command, *call);
            return std::function<int()>([&command, call, sub] {
              int status = Prepare(command, sub, *call);
              if (status != kOk) return status;
              if (command.query != nullptr) {
                int code = command.query(*call);
                status = FinishOutput();
                return code != kOk ? ReportResult(command, *call, code) : status;
              }
              if (!call->temp_dir.empty()) ::setenv("ZRTMASK_TEMP_DIR", call->temp_dir.c_str(), 1);
              return call->dry_run ? RunDryRun(command, *call) : RunRewrite(command, *call);
            });
          }};
}

// The command table: every subcommand, in the order that --help lists them.
const std::vector<Subcommand>& Subcommands() {
  static const std::vector<Subcommand> kSubcommands = [] {
    std::vector<Subcommand> all;
    for (const Command& command : Operations()) all.push_back(Operation(command));
    // Subcommands with options of their own follow, each from its own file.
    all.push_back(RenderSubcommand());
    return all;
  }();
  return kSubcommands;
}

int Main(int argc, char** argv) {
  CLI::App app("Reads and rewrites HTML template files (masks).", "zrtmask");
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("--version", "zrtmask " ZRTMASK_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(
      "Run 'zrtmask SUBCOMMAND --help' for the operands of each. Exit status: the library's "
      "result code (0 on success), 64 on a usage error; see zrtmask(1).");

  const std::vector<Subcommand>& subcommands = Subcommands();
  // Without this, a misspelt subcommand would be reported as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    if (std::none_of(subcommands.begin(), subcommands.end(), [&](const Subcommand& sub) {
          return sub.name == std::string_view(argv[1]);
        })) {
      return UsageError("", std::string("unknown subcommand: ") + argv[1]);
    }
  }

  std::vector<std::pair<CLI::App*, std::function<int()>>> runners;
  for (const Subcommand& sub : subcommands) {
    CLI::App* parser = app.add_subcommand(sub.name, sub.summary);
    runners.emplace_back(parser, sub.define(*parser));
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
    for (const auto& [parser, run] : runners) {
      if (parser->parsed()) subcommand = parser->get_name();
    }
    return UsageError(subcommand, error.what());
  }

  for (const auto& [parser, run] : runners) {
    if (parser->parsed()) return run();
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
