// The queries and rewrites of the tool: each subcommand's call into the library, and the lines
// named when a rewrite finds a region that is not closed.
#include <cstdio>
#include <string>
#include <string_view>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

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

}  // namespace

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

}  // namespace zrtmask
