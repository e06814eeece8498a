// Golden cases read from tests/data/*.cases: the string operations, the scanner's items, the
// queries' answers, the rewrites' exact bytes, every operation under injected faults, and the
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
#include "zrtmask_result.h"

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

// A query's "code:answer", the out-parameter starting as initial ("null" for none).
std::string Query(const std::function<int(ZRTHtmlFile&, ZRTUnicodeString*)>& query,
                  const std::string& initial) {
  ZRTHtmlFile file("in");
  ZRTUnicodeString out(initial.c_str());
  const bool null = initial == "null";
  const int code = query(file, null ? nullptr : &out);
  return std::to_string(code) + ":" + (null ? "" : Utf8(out));
}

// A rewrite's new template, or "code N" (the template then checked unchanged). No temporary
// file may be left either way.
std::string Rewrite(const std::string& before, const std::function<int(ZRTHtmlFile&)>& run) {
  ZRTHtmlFile file("in");
  const int code = run(file);
  const std::string after = testing::ReadFile("in");
  EXPECT_EQ(testing::TakeTempTexts(), std::vector<std::string>{});
  if (code == kOk) return after;
  EXPECT_EQ(after, before);
  return "code " + std::to_string(code);
}

using Marker = int (ZRTHtmlFile::*)(ZRTUnicodeString);
std::string SetMarker(const std::string& in, Marker setter, const Args& a) {
  return Rewrite(in, [&](ZRTHtmlFile& f) { return (f.*setter)(a[0].c_str()); });
}

// Arms the faults "kind,path part,errno[,nth]" separated by ";".
void ArmFaults(const std::string& spec) {
  static const std::map<std::string, Call> kCalls = {{"open", Call::kOpen}, {"read", Call::kRead},
      {"write", Call::kWrite}, {"statvfs", Call::kStatvfs}, {"access", Call::kAccess},
      {"unlink", Call::kUnlink}, {"truncate", Call::kTruncate}, {"reserve", Call::kReserve},
      {"lock", Call::kLock}};
  static const std::map<std::string, int> kErrors = {{"EACCES", EACCES}, {"EIO", EIO},
      {"ENOSPC", ENOSPC}, {"EMFILE", EMFILE}, {"ENOENT", ENOENT}, {"EWOULDBLOCK", EWOULDBLOCK},
      {"ENOLCK", ENOLCK}, {"EBUSY", EBUSY}, {"EFBIG", EFBIG}, {"EDQUOT", EDQUOT},
      {"EOPNOTSUPP", EOPNOTSUPP}};
  std::istringstream faults(spec);
  for (std::string fault; std::getline(faults, fault, ';');) {
    std::istringstream parts(fault);
    std::string kind, path, error, nth;
    std::getline(std::getline(std::getline(parts, kind, ','), path, ','), error, ',');
    ArmFault(kCalls.at(kind), std::getline(parts, nth) ? std::stoi(nth) : 1, kErrors.at(error),
             path.c_str());
  }
}

// What is left in c:/temp/ (then emptied): none, empty, new (the new text), start (a part of
// it), other or several; each must be owner-only.
std::string Left(const std::string& new_text) {
  std::string modes;
  for (const std::string& name : testing::ListDirectory("c:/temp")) {
    struct stat info;
    if (::stat(("c:/temp/" + name).c_str(), &info) != 0 || (info.st_mode & 0777) != 0600) modes = " not owner-only";
  }
  const std::vector<std::string> temps = testing::TakeTempTexts();
  if (temps.size() != 1) return (temps.empty() ? "none" : "several") + modes;
  const std::string& temp = temps[0];
  return (temp.empty() ? "empty" : temp == new_text ? "new"
          : new_text.compare(0, temp.size(), temp) == 0 ? "start" : "other") + modes;
}

// Runs each operation named in the list a[1] (labels or groups) on the template with the faults
// a[2] armed and the mask a[0]: "code template:old|new|other left:..."; when one does not
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
    ArmFaults(a[2]);
    ZRTHtmlFile file("t.html");
    const int code = op.run(file);
    DisarmFaults();
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
std::string ToolCase(const std::string& in, const Args& a) {
#ifdef ZRTMASK_TOOL_PATH
  const std::string data = ZRTMASK_TEST_DATA_DIR "/tool";
  std::filesystem::copy(data, ".", std::filesystem::copy_options::overwrite_existing |
                                        std::filesystem::copy_options::recursive);
  ::mkdir("elsewhere", 0700);
  const testing::ProgramRun run =
      testing::RunProgram(ZRTMASK_TOOL_PATH, Args(a.begin(), a.end() - 1), in);
  const std::string after = ReadFile("t.html");
  for (const std::string& name : testing::ListDirectory(data)) {
    EXPECT_TRUE(name == "t.html" || ReadFile(name) == ReadFile(data + "/" + name)) << name;
  }
  EXPECT_EQ(testing::ListDirectory("c:/temp"), Args{});
  return std::to_string(run.status) + " out[" + run.out + "] err[" + run.err + "] t.html[" +
         (after == ReadFile(data + "/t.html") ? "unchanged" : after) + "]";
#else
  return in.empty() && a.empty() ? "" : "no tool in the build";
#endif
}

// Runs the call on the input with the arguments; returns the result shown as the cases show it.
std::string RunCall(const std::string& call, const std::string& in, const Args& a,
                    const std::string& expected) {
  const auto num = [&](std::size_t i) { return std::atoi(a[i].c_str()); };
  if (call == "chars") {  // the count of characters, and the bytes back unchanged
    const ZRTUnicodeString text = Text(in), terminated(in.c_str());
    const bool same = Utf8(text) == in && in == static_cast<const char*>(terminated);
    return std::to_string(text.GetLengthInChar()) + (same ? "" : " changed");
  }
  if (call == "find") return std::to_string(Text(in).SearchSubString(Text(a[0]), num(1), ZRT_SEARCH_EXACT));
  ZRTUnicodeString subject = Text(in);
  if (call == "replace") {
    const int code = subject.ReplaceSubString(Text(a[0]), Text(a[1]));
    return std::to_string(code) + ":" + Utf8(subject);
  }
  if (call == "remove") return subject.Remove(num(0), num(1)), Utf8(subject);
  if (call == "num") {
    const int code = subject.BuildFromNum(num(1), a[0] == "null" ? nullptr : a[0].c_str());
    return std::to_string(code) + ":" + Utf8(subject);
  }
  if (call == "fault") return FaultCase(in == "*" ? testing::kTemplate : in, a, expected);
  if (call == "tool") return ToolCase(in, a);
  testing::WriteFile("in", in);
  if (call == "scan") return Scan(a[0], false, false);
  if (call == "scan-lines") return Scan(a[0], true, false);
  if (call == "scan-full") return Scan(a[0], true, true);
  if (call == "view") return Query([](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTViewName(s); }, a[0]);
  if (call == "path") return Query([](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTPath(s); }, a[0]);
  if (call == "content") {
    return Query([&](ZRTHtmlFile& f, ZRTUnicodeString* s) { return f.GetZRTTagContent(a[0].c_str(), s); }, a[1]);
  }
  if (call == "tags") {
    ZRTListValZRTUnicodeString tags;
    tags.Append("old");
    std::string shown = std::to_string(ZRTHtmlFile("in").GetAllZRTTag(&tags)) + ":";
    for (const ZRTUnicodeString& tag : tags) shown += std::string(tag.ConvertToChar()) + ",";
    return shown;
  }
  if (call == "set-view") return Rewrite(in, [&](ZRTHtmlFile& f) { return f.SetZRTViewName(a[0].c_str()); });
  if (call == "set-tag") {
    return Rewrite(in, [&](ZRTHtmlFile& f) { return f.SetZRTTagContent(a[0].c_str(), a[1].c_str()); });
  }
  if (call == "dump") {
    return Rewrite(in, [&](ZRTHtmlFile& f) { return f.dumpZRTTagContent(a[0].c_str(), a[1].c_str()); });
  }
  if (call == "image") {
    return Rewrite(in, [&](ZRTHtmlFile& f) { return f.SetZRTImageName(a[0].c_str(), num(1), num(2)); });
  }
  if (call == "start") return SetMarker(in, &ZRTHtmlFile::SetZRTStart, a);
  if (call == "annot") return SetMarker(in, &ZRTHtmlFile::SetZRTAnnotations, a);
  if (call == "url") return SetMarker(in, &ZRTHtmlFile::SetZRTURL, a);
  if (call == "db") return SetMarker(in, &ZRTHtmlFile::SetZRTDBAccess, a);
  if (call == "copy") {
    testing::WriteFile("mask", a[0]);
    return Rewrite(in, [](ZRTHtmlFile& f) { return f.CopyMaskFile("mask"); });
  }
  return "unknown call " + call;
}

class GoldenTest : public testing::ScratchDirTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(GoldenTest, EveryCaseGivesItsResult) {
  const std::string path = std::string(ZRTMASK_TEST_DATA_DIR) + "/" + GetParam() + ".cases";
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
    fields.push_back("unset");  // the out-parameter of a query, unless the case gives one
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
                                           "faults", "tool"));

}  // namespace
}  // namespace zrtmask
