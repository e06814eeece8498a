// The queries and rewrites of the tool: each subcommand's call into the library, and the check
// that the template holds the region or marker that the subcommand names.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "tools/outline.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

ZRTUnicodeString Text(const std::string& bytes) {
  return ZRTUnicodeString(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// The template path handed to the library: a read-only subcommand reads "-" from stdin.
const char* QueryPath(const Invocation& call) {
  if (!call.read_path.empty()) return call.read_path.c_str();
  return call.template_path == "-" ? "/dev/stdin" : call.template_path.c_str();
}

// Runs a query that answers with one text, and prints the text.
template <typename Query>
int PrintAnswer(const Invocation& call, Query query) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTUnicodeString answer;
  int code = query(file, answer);
  if (code == kOk) PrintText(answer);
  return code;
}

// True unless the template at path lacks the region or marker that the command names, as the
// library's outline finds them. A template that cannot be read is left to the operation, which
// reports it.
bool HoldsWhatIsNamed(const Command& command, const Invocation& call, const std::string& path) {
  const Requirement& requirement = command.requirement;
  if (call.lenient || requirement.needs == Needs::kNothing) return true;
  // A FIFO or a device is not read here (it might never end): the operation refuses it.
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return true;
  const bool region = requirement.needs == Needs::kRegion;
  const std::string name = region ? call.tag_name : std::string(requirement.marker);
  Outline outline;
  if (ReadOutline(path, region ? name : "", outline) != kOk) return true;
  if (requirement.needs != Needs::kProcessingMarker) return outline.HoldsRegion(name);
  for (const OutlineMarker& marker : outline.markers) {
    if (name == MarkerKeyword(marker.kind)) return true;
  }
  return false;
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

}  // namespace

int Scan(const Invocation& call) {
  nlohmann::json items = nlohmann::json::array();
  std::string line;
  int code = ScanItems(QueryPath(call), call.find_types, [&](ZRTDcHtmlHandler& scanner) {
    int type = scanner.GetItemType();
    bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    const char* text = named ? scanner.GetItemName() : scanner.GetItemValue();
    if (call.json) {
      items.push_back({{"line", scanner.GetCurrentLineNb()},
                       {"type", TypeName(type)},
                       {named ? "name" : "value", text}});
      return;
    }
    line = std::to_string(scanner.GetCurrentLineNb());
    line += '\t';
    line += TypeName(type);
    line += '\t';
    line += Escape(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  });
  if (code == kOk && call.json) PrintJson({{"file", call.template_path}, {"items", items}});
  return code;
}

int PrintViewName(const Invocation& call) {
  return PrintAnswer(
      call, [](ZRTHtmlFile& file, ZRTUnicodeString& name) { return file.GetZRTViewName(&name); });
}

int PrintTagContent(const Invocation& call) {
  return PrintAnswer(call, [&](ZRTHtmlFile& file, ZRTUnicodeString& content) {
    return file.GetZRTTagContent(Text(call.tag_name), &content);
  });
}

int PrintPath(const Invocation& call) {
  return PrintAnswer(
      call, [](ZRTHtmlFile& file, ZRTUnicodeString& path) { return file.GetZRTPath(&path); });
}

int PrintTags(const Invocation& call) {
  ZRTHtmlFile file(QueryPath(call));
  ZRTListValZRTUnicodeString tags;
  int code = file.GetAllZRTTag(&tags);
  if (code != kOk) return code;
  if (call.json) {
    nlohmann::json names = nlohmann::json::array();
    for (const ZRTUnicodeString& tag : tags) names.push_back(tag.ConvertToChar());
    PrintJson({{"file", call.template_path}, {"tags", names}});
    return code;
  }
  for (const ZRTUnicodeString& tag : tags) PrintText(tag);
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
  return file.CopyMaskFile(call.mask_path == "-" ? call.mask_read_path.c_str()
                                                 : call.mask_path.c_str());
}

namespace {

// Copies standard input into a private regular file at path in scratch (the library refuses a
// FIFO or a device as a template or a mask). Returns 0, or kExitNoInput after a message.
int CopyStandardInput(ScratchDirectory& scratch, const std::string& name, std::string& path) {
  std::string bytes;
  int error = ReadWholeFile("-", bytes);
  if (error == 0 && scratch.path().empty()) error = scratch.Create();
  path = scratch.path() + "/" + name;
  if (error == 0) error = WriteNewFile(path, bytes);
  if (error != 0) {
    PrintError(DisplayName("-"), std::strerror(error));
    return kExitNoInput;
  }
  return kOk;
}

}  // namespace

int RunOperation(const Command& command, Invocation& call) {
  if (command.query == nullptr) {
    if (!call.temp_dir.empty()) ::setenv("ZRTMASK_TEMP_DIR", call.temp_dir.c_str(), 1);
    ScratchDirectory scratch;
    if (command.rewrite == CopyMask && call.mask_path == "-") {
      const int status = CopyStandardInput(scratch, "standard-input.html", call.mask_read_path);
      if (status != kOk) return status;
    }
    if (!HoldsWhatIsNamed(command, call, call.template_path)) return ReportMissing(command, call);
    return call.dry_run ? RunDryRun(command, call) : RunRewrite(command, call);
  }
  // Standard input is read once, into a private regular file: the library refuses a FIFO, and
  // the template may be read twice.
  ScratchDirectory scratch;
  if (call.template_path == "-") {
    const int status = CopyStandardInput(scratch, "standard-input.html", call.read_path);
    if (status != kOk) return status;
  }
  if (!HoldsWhatIsNamed(command, call, QueryPath(call))) return ReportMissing(command, call);
  int code = command.query(call);
  int status = FinishOutput();
  return code != kOk ? ReportResult(command, call, code) : status;
}

}  // namespace zrtmask::cli
