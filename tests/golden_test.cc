// Golden cases read from tests/data/*.cases: the string operations, the scanner's items, the
// queries' answers, the rewrites' and the renders' exact bytes, every operation under injected faults, and the
// tool's command lines. A line "@call" starts a group; each case below it is one line of
// tab-separated fields: the input, the call's arguments, the expected result (in the fault and
// tool cases "*" stands for any text). Fields take the escapes \n \r \t \0 \\ \xHH, \{N}c for N times c, \e for nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "testing/test_support.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

#ifndef ZRTMASK_TOOL_PATH
#define ZRTMASK_TOOL_PATH ""  // no tool in the build: its cases are skipped
#endif

namespace zrtmask {
namespace {

using Args = std::vector<std::string>;
using testing::ReadFile;
using testing::WriteFile;

// True when text matches pattern, in which "*" stands for any text.
bool Matches(const std::string& text, const std::string& pattern) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return text == pattern;
  if (text.compare(0, star, pattern, 0, star) != 0) return false;
  for (std::size_t at = star; at <= text.size(); ++at) {
    if (Matches(text.substr(at), pattern.substr(star + 1))) return true;
  }
  return false;
}

std::string Unescape(const std::string& field) {
  std::string bytes;
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] != '\\' || at + 1 == field.size()) {
      bytes += field[at];
      continue;
    }
    const char c = field[++at];
    if (c == '{') {  // \{N}c: N times the byte c
      const std::size_t close = field.find('}', at);
      bytes.append(std::stoul(field.substr(at + 1, close - at - 1)), field[close + 1]), at = close + 1;
    } else if (c == 'x') {
      bytes += static_cast<char>(std::stoi(field.substr(at + 1, 2), nullptr, 16)), at += 2;
    } else if (c != 'e') {
      bytes += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
  }
  return bytes;
}

std::string Utf8(const ZRTUnicodeString& text) {
  std::string buffer(static_cast<std::size_t>(text.GetLengthInChar()) * 4 + 4, '\x7f');
  unsigned int length = 0;
  text.ConvertToUTF8(buffer.data(), &length);
  return buffer.substr(0, length);
}

ZRTUnicodeString Text(const std::string& bytes) {
  return ZRTUnicodeString(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// The items of the template "in" scanned with the mask args[0]: "TAG[p] ATTR[class]", with the
// line ("@3") added when lines, and both buffers ("VALUE[path|c:/x]") when full.
std::string Scan(const std::string& mask, bool lines, bool full) {
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(std::atoi(mask.c_str()));
  if (scanner.OpenFile("in") != kOk) return "open failed";
  std::string items;
  const std::map<int, std::string> names = {{ITEM_TAG, "TAG"}, {ITEM_ATTRIBUTE, "ATTR"},
      {ITEM_TEXT, "TEXT"}, {ITEM_COMMENT, "COMMENT"}, {ITEM_VALUE, "VALUE"}};
  while (scanner.FindNextItem() == 1) {
    const int type = scanner.GetItemType();
    const bool named = type == ITEM_TAG || type == ITEM_ATTRIBUTE;
    items += (items.empty() ? "" : " ") + names.at(type) + "[" +
             (full ? std::string(scanner.GetItemName()) + "|" + scanner.GetItemValue()
                   : named ? scanner.GetItemName() : scanner.GetItemValue()) + "]" +
             (lines ? "@" + std::to_string(scanner.GetCurrentLineNb()) : "");
  }
  return items;
}

using Operation = std::function<int(ZRTHtmlFile&, const Args&)>;

// The rewrites: the new template, or "code N" (the template then checked unchanged). No
// temporary file may be left either way.
const std::map<std::string, Operation> kRewrites = {
    {"set-view", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTViewName(a[0].c_str()); }},
    {"set-tag", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTTagContent(a[0].c_str(), a[1].c_str()); }},
    {"dump", [](ZRTHtmlFile& f, const Args& a) { return f.dumpZRTTagContent(a[0].c_str(), a[1].c_str()); }},
    {"image", [](ZRTHtmlFile& f, const Args& a) {
       return f.SetZRTImageName(a[0].c_str(), std::stoi(a[1]), std::stoi(a[2]));
     }},
    {"start", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTStart(a[0].c_str()); }},
    {"annot", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTAnnotations(a[0].c_str()); }},
    {"url", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTURL(a[0].c_str()); }},
    {"db", [](ZRTHtmlFile& f, const Args& a) { return f.SetZRTDBAccess(a[0].c_str()); }},
    {"copy", [](ZRTHtmlFile& f, const Args& a) { return WriteFile("m", a[0]), f.CopyMaskFile("m"); }},
};

// The queries: "code:answer", the out-parameter starting as a.back(), "unset" unless the case
// gives another ("null" for none).
using Query = std::function<int(ZRTHtmlFile&, const Args&, ZRTUnicodeString*)>;
const std::map<std::string, Query> kQueries = {
    {"view", [](ZRTHtmlFile& f, const Args&, ZRTUnicodeString* s) { return f.GetZRTViewName(s); }},
    {"path", [](ZRTHtmlFile& f, const Args&, ZRTUnicodeString* s) { return f.GetZRTPath(s); }},
    {"content", [](ZRTHtmlFile& f, const Args& a, ZRTUnicodeString* s) {
       return f.GetZRTTagContent(a[0].c_str(), s);
     }},
};

// Sets up the faults separated by ";": "call,path part,errno[,nth]" arms the seam; real
// conditions are "path,P" (the operation's template, "null" for none), "chmod,t.html,MODE",
// "mkdir,D", "rmdir,D" and "unprivileged" (the operation runs as an unprivileged user).
struct Conditions {
  std::string path = "t.html";
  bool unprivileged = false;
};
Conditions SetUpFaults(const std::string& fault_list) {
  static const std::map<std::string, Call> kCalls = {{"open", Call::kOpen}, {"read", Call::kRead},
      {"write", Call::kWrite}, {"statvfs", Call::kStatvfs}, {"access", Call::kAccess},
      {"sync", Call::kSync}, {"rename", Call::kRename}, {"stat", Call::kStat},
      {"unlink", Call::kUnlink}, {"truncate", Call::kTruncate}, {"reserve", Call::kReserve},
      {"lock", Call::kLock}};
  static const std::map<std::string, int> kErrors = {
      {"EACCES", EACCES},         {"EIO", EIO},
      {"ENOSPC", ENOSPC},         {"EMFILE", EMFILE},
      {"ENOENT", ENOENT},         {"EWOULDBLOCK", EWOULDBLOCK},
      {"ENOLCK", ENOLCK},         {"EBUSY", EBUSY},
      {"EFBIG", EFBIG},           {"EDQUOT", EDQUOT},
      {"EOPNOTSUPP", EOPNOTSUPP}, {"EROFS", EROFS}};
  Conditions conditions;
  std::istringstream faults(fault_list);
  for (std::string fault; std::getline(faults, fault, ';');) {
    std::istringstream parts(fault);
    std::string kind, path, error, nth;
    std::getline(std::getline(std::getline(parts, kind, ','), path, ','), error, ',');
    if (kind == "path") conditions.path = path;
    if (kind == "chmod") ::chmod(path.c_str(), static_cast<mode_t>(std::stoi(error, nullptr, 8)));
    if (kind == "mkdir") ::mkdir(path.c_str(), 0777);
    if (kind == "rmdir") ::rmdir(path.c_str());
    conditions.unprivileged = conditions.unprivileged || kind == "unprivileged";
    if (kCalls.count(kind) != 0) {
      ArmFault(kCalls.at(kind), std::getline(parts, nth) ? std::stoi(nth) : 1, kErrors.at(error), path.c_str());
    }
  }
  return conditions;
}

// What is left in c:/temp/ (then emptied): none, empty, new (the new text), start (a part of
// it), other or several, and " record" when a copy-back record is left; each must be owner-only.
std::string Left(const std::string& new_text) {
  std::string modes;
  for (const std::string& name : testing::ListDirectory("c:/temp")) {
    if (name[0] == '.') modes = " record" + modes;
    struct stat info;
    if (::stat(("c:/temp/" + name).c_str(), &info) != 0 || (info.st_mode & 0777) != 0600) modes = " not owner-only";
  }
  const std::vector<std::string> temps = testing::TakeTempTexts();
  if (temps.size() != 1) return (temps.empty() ? "none" : "several") + modes;
  const std::string& temp = temps[0];
  return (temp.empty() ? "empty" : temp == new_text ? "new"
          : new_text.compare(0, temp.size(), temp) == 0 ? "start" : "other") + modes;
}

// Runs each operation named in the list a[1] (labels or groups), in a child process, on the
// template with the faults a[2] set up and the mask a[0]: "code template:old|new|other left:..."; when one does not
// match the expected outcome, each operation's. With " traced" expected, each traces its disk-full message, if any.
std::string FaultCase(const std::string& in, const Args& a, const std::string& expected) {
  const char* const groups[] = {"", "item", "marker", "", "copy", "", "", "", "query"};
  const bool traced = Matches(expected, "* traced");
  std::string all;
  bool mismatch = false;
  for (const testing::Operation& op : testing::Operations()) {
    if (!Matches("," + a[1] + ",", "*," + std::string(op.label) + ",*") &&
        !Matches("," + a[1] + ",", "*," + std::string(groups[op.group]) + ",*")) {
      continue;
    }
    WriteFile("m.html", a[0]);
    WriteFile("clean.html", in);
    ZRTHtmlFile clean("clean.html");
    EXPECT_EQ(op.run(clean), kOk) << op.label;
    const std::string new_text = ReadFile("clean.html");
    WriteFile("t.html", in);
    ::testing::internal::CaptureStderr();
    const Conditions conditions = SetUpFaults(a[2]);
    // 100 more when a descriptor was closed that was not open.
    const int code = testing::RunInChild(
        [&] {
          WatchDescriptors();
          ZRTHtmlFile file(conditions.path == "null" ? nullptr : conditions.path.c_str());
          const int result = op.run(file);
          return result + (UnknownDescriptorsClosed() != 0 ? 100 : 0);
        },
        conditions.unprivileged);
    DisarmFaults();
    ::chmod("t.html", 0644);
    ::mkdir("c:/temp", 01777);
    ::chmod("c:/temp", 01777);
    EXPECT_NE(::access("missing.html", 0), 0);
    const std::string err = ::testing::internal::GetCapturedStderr(), after = ReadFile("t.html");
    std::string outcome = std::to_string(code) + " template:" +
                          (after == in ? "old" : after == new_text ? "new" : "other") +
                          " left:" + Left(new_text);
    if (err != (traced ? op.disk_full_message : "")) outcome += " stderr[" + err + "]";
    outcome += traced ? " traced" : "";
    all += std::string(all.empty() ? "" : " | ") + op.label + ": " + outcome;
    mismatch = mismatch || !Matches(outcome, expected);
  }
  return mismatch || all.empty() ? all : expected;
}

// Runs the tool with the arguments and the input on its standard input, on the files of
// tests/data/tool/: "status out[...] err[...] t.html[...]", t.html "unchanged" when so.
std::string ToolCase(const std::string& in, Args a) {
  const std::string data = ZRTMASK_TEST_DATA_DIR "/tool";
  std::filesystem::copy(data, ".", std::filesystem::copy_options::overwrite_existing |
                                        std::filesystem::copy_options::recursive);
  ::mkdir("elsewhere", 0700);
  // A first argument NAME=VALUE is set in the tool's environment.
  const bool env = !a.empty() && a[0].find('=') != std::string::npos;
  if (env) a.insert(a.begin() + 1, ZRTMASK_TOOL_PATH);
  const testing::ProgramRun run = testing::RunProgram(env ? "/usr/bin/env" : ZRTMASK_TOOL_PATH, a, in);
  const std::string after = ReadFile("t.html");
  for (const std::string& name : testing::ListDirectory(data)) {
    EXPECT_TRUE(name == "t.html" || ReadFile(name) == ReadFile(data + "/" + name)) << name;
  }
  EXPECT_EQ(testing::ListDirectory("c:/temp"), Args{});
  return std::to_string(run.status) + " out[" + run.out + "] err[" + run.err + "] t.html[" +
         (after == ReadFile(data + "/t.html") ? "unchanged" : after) + "]";
}

// The fill of a render case, from the arguments "view=V", "text:NAME=V", "html:NAME=V",
// "image=SOURCE WIDTH HEIGHT", "start=V", "annot=V", "url=V", "db=V".
PageFill Fill(const Args& a) {
  PageFill fill;
  for (const std::string& arg : a) {
    const std::string key = arg.substr(0, arg.find('=')), value = arg.substr(key.size() + 1);
    if (key.compare(0, 5, "text:") == 0 || key.compare(0, 5, "html:") == 0) {
      fill.regions.push_back({key.substr(5), value, key[0] == 'h'});
    } else if (key == "image") {
      std::istringstream in(value);
      ImageFill image;
      in >> image.source >> image.width >> image.height;
      fill.image = image;
    } else {
      (key == "view" ? fill.view_name : key == "start" ? fill.start : key == "annot" ? fill.annotations
                                                        : key == "url" ? fill.url : fill.db_access) = value;
    }
  }
  return fill;
}

// Runs the call on the input with the arguments; returns the result shown as the cases show it.
std::string RunCall(const std::string& call, const std::string& in, Args a, const std::string& expected) {
  const auto shown = [](int code, const ZRTUnicodeString& text) { return std::to_string(code) + ":" + Utf8(text); };
  ZRTUnicodeString subject = Text(in);
  if (call == "chars") {  // the count of characters, and the bytes back unchanged however made
    ZRTUnicodeString assigned("x");
    assigned = in.c_str();
    const bool same = Utf8(subject) == in && in == static_cast<const char*>(ZRTUnicodeString(in.c_str())) &&
                      Utf8(assigned) == in && Utf8(assigned = static_cast<const char*>(nullptr)).empty();
    return std::to_string(subject.GetLengthInChar()) + (same ? "" : " changed");
  }
  if (call == "find") return std::to_string(subject.SearchSubString(Text(a[0]), std::stoi(a[1]), ZRT_SEARCH_EXACT));
  if (call == "replace") return shown(subject.ReplaceSubString(Text(a[0]), Text(a[1])), subject);
  if (call == "remove") return subject.Remove(std::stoi(a[0]), std::stoi(a[1])), Utf8(subject);
  if (call == "num") return shown(subject.BuildFromNum(std::stoi(a[1]), a[0] == "null" ? nullptr : a[0].c_str()), subject);
  if (call == "fault") return FaultCase(in == "*" ? testing::kTemplate : in, a, expected);
  if (call == "tool") return ToolCase(in, a);
  if (call == "render") {
    std::string page;
    const int code = RenderPage(in, Fill(a), &page);
    return code == kOk ? page : "code " + std::to_string(code);
  }
  WriteFile("in", in);
  ZRTHtmlFile file("in");
  if (call.compare(0, 4, "scan") == 0) return Scan(a[0], call != "scan", call == "scan-full");
  if (kQueries.count(call) != 0) {
    if (a.size() == (call == "content" ? 1u : 0u)) a.push_back("unset");
    ZRTUnicodeString out(a.back().c_str());
    const int code = kQueries.at(call)(file, a, a.back() == "null" ? nullptr : &out);
    return a.back() == "null" ? std::to_string(code) + ":" : shown(code, out);
  }
  if (call == "tags") {
    ZRTListValZRTUnicodeString tags;
    tags.Append("old");
    std::string listed = std::to_string(file.GetAllZRTTag(&tags)) + ":";
    for (const ZRTUnicodeString& tag : tags) listed += std::string(tag.ConvertToChar()) + ",";
    return listed;
  }
  const int code = kRewrites.at(call)(file, a);
  const std::string after = ReadFile("in");
  EXPECT_EQ(testing::TakeTempTexts(), Args{});
  if (code == kOk) return after;
  EXPECT_EQ(after, in);
  return "code " + std::to_string(code);
}

class GoldenTest : public testing::ScratchDirTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(GoldenTest, EveryCaseGivesItsResult) {
  const std::string path = std::string(ZRTMASK_TEST_DATA_DIR) + "/" + GetParam() + ".cases";
  if ((std::string(GetParam()) == "tool" || std::string(GetParam()) == "check") &&
      *ZRTMASK_TOOL_PATH == '\0') {
    GTEST_SKIP() << "no tool";
  }
  std::ifstream cases(path);
  ASSERT_TRUE(cases.good()) << path;
  std::string call, line;
  int cases_run = 0;
  for (int number = 1; std::getline(cases, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '@') {
      call = line.substr(1);
      continue;
    }
    Args fields;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
      end = line.find('\t', start);
      fields.push_back(Unescape(line.substr(start, end == std::string::npos ? end : end - start)));
    }
    SCOPED_TRACE(path + ":" + std::to_string(number));
    ASSERT_GE(fields.size(), 2u);
    const std::string expected = fields.back();
    fields.pop_back();
    const std::string in = fields.front();
    fields.erase(fields.begin());
    const std::string result = RunCall(call, in, fields, expected);
    if (call == "fault" || call == "tool") {
      EXPECT_TRUE(Matches(result, expected)) << result << "\n  expected: " << expected;
    } else {
      EXPECT_EQ(result, expected);
    }
    ++cases_run;
  }
  EXPECT_GT(cases_run, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest,
                         ::testing::Values("strings", "scanner", "queries", "rewrites", "markers",
                                           "render", "faults", "tool", "check"));

}  // namespace
}  // namespace zrtmask
