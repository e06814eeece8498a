// The zrtmask command-line tool: queries and rewrites of template files from the shell. This file
// holds the command table, with one subcommand per library operation, and main.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "tools/tool.h"
#include "zrtmask_module.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

static_assert(std::string_view(ZRTMASK_VERSION_STRING) == ZRTMASK_PROJECT_VERSION,
              "zrtmask_module.h and the project version in CMakeLists.txt disagree");

constexpr char kTemplateHelp[] = "Template file";
constexpr char kQueryTemplateHelp[] = "Template file (- reads standard input)";
constexpr char kTagNameHelp[] = "Name of the marker element, matched exactly";
constexpr char kTextHelp[] = "New content (- reads standard input)";

const OperandSpec kQueryTemplate = {Operand::kTemplate, "FILE", kQueryTemplateHelp};
const OperandSpec kTemplate = {Operand::kTemplate, "FILE", kTemplateHelp};
const OperandSpec kTagName = {Operand::kTagName, "NAME", kTagNameHelp};

// A query with the template as its only operand.
Command Query(const char* name, const char* summary, int (*query)(const Invocation& call),
              Requirement requirement = {}) {
  return {name, summary, {kQueryTemplate}, nullptr, query, nullptr, requirement};
}

// A rewrite that fills the regions NAME with TEXT.
Command RegionRewrite(const char* name, const char* summary,
                      int (*rewrite)(ZRTHtmlFile& file, const Invocation& call)) {
  return {name,
          summary,
          {kTemplate, kTagName, {Operand::kValue, "TEXT", kTextHelp}},
          "--text-file",
          nullptr,
          rewrite,
          {Needs::kRegion}};
}

// A rewrite that inserts VALUE after a processing marker.
Command MarkerRewrite(const char* name, const char* summary, const char* marker,
                      int (*rewrite)(ZRTHtmlFile& file, const Invocation& call)) {
  return {name,
          summary,
          {kTemplate, {Operand::kValue, "VALUE", "Value to insert (- reads standard input)"}},
          "--value-file",
          nullptr,
          rewrite,
          {Needs::kProcessingMarker, marker}};
}

// The library operations, in the order that --help lists them.
const std::vector<Command>& Operations() {
  static const std::vector<Command> kCommands = {
      Query("scan", "List the items of an HTML file: line, type and name or value, one item a line",
            Scan),
      Query("view-name", "Print the view name (the title inside the ZRTViewName element)",
            PrintViewName, {Needs::kElement, "ZRTViewName"}),
      {"tag",
       "Print the content of the marker region NAME (line breaks as line feeds)",
       {kQueryTemplate, kTagName},
       nullptr,
       PrintTagContent,
       nullptr,
       {Needs::kRegion}},
      Query("path", "Print the path held in the path marker (ZRTPath)", PrintPath,
            {Needs::kElement, "ZRTPath"}),
      Query("tags",
            "Print the name of every marker element (ZRT...), one a line, in document order",
            PrintTags),
      {"set-view-name",
       "Replace the view name; < and > are escaped",
       {kTemplate, {Operand::kValue, "NAME", "New view name (- reads standard input)"}},
       "--name-file",
       nullptr,
       SetViewName,
       {Needs::kElement, "ZRTViewName"}},
      RegionRewrite("set-tag",
                    "Fill every marker region NAME with TEXT (< and > escaped, line feeds as "
                    "<BR>); the markers become comments",
                    SetTagContent),
      RegionRewrite("dump",
                    "Fill every marker region NAME with TEXT written as it is (markup stays "
                    "markup); the markers become comments",
                    DumpTagContent),
      {"set-image",
       "Set src, width and height of the image inside the ZRTImage region; the region's "
       "markers become comments",
       {kTemplate,
        {Operand::kImageSource, "SRC", "New image source"},
        {Operand::kWidth, "WIDTH", "New width"},
        {Operand::kHeight, "HEIGHT", "New height"}},
       nullptr,
       nullptr,
       SetImage,
       {Needs::kElement, "ZRTImage"}},
      MarkerRewrite("set-start",
                    "Insert VALUE on a line of its own after the first <QLXSTART> marker",
                    "QLXSTART", SetStart),
      MarkerRewrite("set-annotations",
                    "Insert VALUE on a line of its own after the first <QLXANNOT> marker",
                    "QLXANNOT", SetAnnotations),
      MarkerRewrite("set-url", "Insert VALUE on a line of its own after the first <QLXURL> marker",
                    "QLXURL", SetUrl),
      MarkerRewrite("set-dbaccess",
                    "Insert VALUE on a line of its own after the first <QLXDBACCESS> marker",
                    "QLXDBACCESS", SetDbAccess),
      {"copy-mask",
       "Replace the template's text with the bytes of the mask file",
       {kTemplate, {Operand::kMask, "MASK", "Mask file (- reads standard input)"}},
       nullptr,
       nullptr,
       CopyMask,
       {}},
  };
  return kCommands;
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
  for (int types : call.types) call.find_types |= types;
  if (call.types.empty()) call.find_types = kAllItemTypes;
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
  return kOk;
}

// Image sizes, by ParseSize; the text handed on is the number in plain decimal (CLI11 alone would
// read "0x10" as 16 and "010" as 8).
const CLI::Validator kSize = CLI::Validator(
    [](std::string& text) {
      int size = 0;
      if (!ParseSize(text, &size)) {
        return "a size is a decimal number from 0 to " +
               std::to_string(std::numeric_limits<int>::max()) + ": " + text;
      }
      text = std::to_string(size);
      return std::string();
    },
    "");

// The member of call that a text operand fills.
std::string& TextOperand(Invocation& call, Operand role) {
  switch (role) {
    case Operand::kTagName:
      return call.tag_name;
    case Operand::kValue:
      return call.value;
    case Operand::kImageSource:
      return call.image_source;
    case Operand::kMask:
      return call.mask_path;
    default:
      return call.template_path;
  }
}

// Adds the operands and options of a library operation to its subcommand's parser.
OperationOptions AddOperands(CLI::App& app, const Command& command, Invocation& call) {
  OperationOptions sub;
  for (const OperandSpec& operand : command.operands) {
    const bool size = operand.role == Operand::kWidth || operand.role == Operand::kHeight;
    CLI::Option* option =
        size ? app.add_option(operand.label,
                              operand.role == Operand::kWidth ? call.width : call.height)
                   ->transform(kSize)
             : app.add_option(operand.label, TextOperand(call, operand.role));
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
    const std::map<std::string, int> names = {{"tag", ITEM_TAG},
                                              {"attribute", ITEM_ATTRIBUTE},
                                              {"text", ITEM_TEXT},
                                              {"comment", ITEM_COMMENT},
                                              {"value", ITEM_VALUE}};
    app.add_option("--types", call.types,
                   "Item types to list: a mask (1 tag, 2 attribute, 4 text, 8 comment, 32 value; "
                   "default 63) or names joined by commas, e.g. tag,text")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->transform(CLI::Transformer(names, CLI::ignore_case).description(""))
        ->check(CLI::Range(0, kAllItemTypes).description(""))
        ->type_name("MASK");
  }
  if (command.query == Scan || command.query == PrintTags) {
    app.add_flag("--json", call.json, "Print one JSON document instead of lines");
  }
  if (command.requirement.needs != Needs::kNothing) {
    app.add_flag("--lenient", call.lenient,
                 "Accept a template without the region or marker named: a query prints an empty "
                 "line, a rewrite runs all the same");
  }
  if (command.rewrite != nullptr) {
    CLI::Option* dry_run =
        app.add_flag("--dry-run", call.dry_run,
                     "Print the new text instead of writing it; the template is not touched");
    CLI::Option* diff = app.add_flag(
        "--diff", call.diff, "With a dry run, print a unified diff against the template instead");
    // A flag that takes an optional value after "=": "--backup FILE" keeps FILE an operand.
    app.add_option("--backup", call.backup_suffix,
                   "Keep the template's previous text in FILE followed by SUFFIX (default ~)")
        ->expected(0, 0)
        ->default_str("~")
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
              return status != kOk ? status : RunOperation(command, *call);
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
    all.push_back(CheckSubcommand());
    all.push_back(OutlineSubcommand());
    all.push_back(PublishSubcommand());
    all.push_back(RecoverSubcommand());
    return all;
  }();
  return kSubcommands;
}

}  // namespace

bool ParseSize(std::string_view text, int* size) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty() || text.size() > 12) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<int>::max()) return false;
  *size = static_cast<int>(value);
  return true;
}

namespace {

int Main(int argc, char** argv) {
  CLI::App app("Reads and rewrites HTML template files (masks).", "zrtmask");
  app.set_version_flag("--version", "zrtmask " ZRTMASK_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(
      "Run 'zrtmask SUBCOMMAND --help' for the operands of each. Exit status: the library's "
      "result code (0 on success), 64 on a usage error, 65 when the template lacks what was "
      "named; see zrtmask(1).");

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
}  // namespace zrtmask::cli

int main(int argc, char** argv) {
  try {
    return zrtmask::cli::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zrtmask: %s\n", error.what());
    return zrtmask::cli::kExitSoftware;
  }
}
