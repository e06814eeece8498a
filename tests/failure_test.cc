// Every operation against every way its files can fail, as one table: operation group x fault ->
// result code, what is left in c:/temp/ (mode 0600), whether the template may be cut. Calls fail
// through the platform layer's fault seam; real conditions (missing files, permissions for an
// unprivileged user, a full tmpfs, /dev/full) calibrate the seam.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

enum Group { kItem = 1, kMarker = 2, kCopy = 4, kQuery = 8, kRewrite = 7, kAll = 15 };

struct Operation {
  const char* label;
  Group group;
  std::function<int(ZRTHtmlFile&)> run;
  const char* disk_full_message = "";  // traced when a write into the template fails part way
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"view", kItem, [](ZRTHtmlFile& f) { return f.SetZRTViewName("N"); }},
      {"tag", kItem, [](ZRTHtmlFile& f) { return f.SetZRTTagContent("S", "C"); },
       "disk full : ZRTHtmlFile::SetZRTTagContent ...\n"},
      {"dump", kItem, [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("S", "C"); },
       "Disk full : ZRTHtmlFile::dump ...\n"},
      {"image", kItem, [](ZRTHtmlFile& f) { return f.SetZRTImageName("i", 1, 2); }},
      {"start", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTStart("v"); }},
      {"annot", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTAnnotations("v"); }},
      {"url", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTURL("v"); }},
      {"db", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTDBAccess("v"); }},
      {"copy", kCopy, [](ZRTHtmlFile& f) { return f.CopyMaskFile("m.html"); }},
      {"view name", kQuery, [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTViewName(&s); }},
      {"content", kQuery,
       [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTTagContent("S", &s); }},
      {"path", kQuery, [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTPath(&s); }},
      {"tags", kQuery, [](ZRTHtmlFile& f) { ZRTListValZRTUnicodeString l; return f.GetAllZRTTag(&l); }},
  };
  return operations;
}

constexpr char kTemplate[] =
    "<html>\n<ZRTViewName><title>t</title></ZRTViewName>\n<S>old</S>\n<ZRTImage><img src=a>"
    "</ZRTImage>\n<QLXSTART><QLXANNOT>\n<QLXURL><QLXDBACCESS>\n</html>\n";
constexpr char kMask[] = "<p>mask\n\n\n</p>\r\n";
constexpr char kTemp[] = "c:/temp/";

// What a case leaves in c:/temp/.
enum class Left { kNothing, kEmpty, kStartOfText, kNewText };

struct Fault {
  Call kind;
  const char* path_part;
  int error;
  int nth = 1;  // 0: every call
};

struct Row {
  int groups;
  std::vector<Fault> faults;
  int code;
  Left left = Left::kNothing;
  bool cut = false;     // the template may hold part of either text
  bool traced = false;  // the operation's disk-full message is traced
};

class FailureTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile("m.html", kMask);
  }

  // The template after op on text when nothing fails.
  std::string NewText(const Operation& op, const std::string& text) {
    WriteFile("clean.html", text);
    ZRTHtmlFile file("clean.html");
    EXPECT_EQ(op.run(file), kOk) << op.label;
    const std::string after = ReadFile("clean.html");
    ::unlink("clean.html");
    return after;
  }

  // Runs every operation of the row's groups on text with the row's faults armed, and checks
  // the code, the trace, the template and the temporary files.
  // With only, just the operations it names.
  void Check(const Row& row, const std::string& text = kTemplate,
             const std::vector<std::string>& only = {}) {
    for (const Operation& op : Operations()) {
      if ((op.group & row.groups) == 0) continue;
      if (!only.empty() && std::find(only.begin(), only.end(), op.label) == only.end()) continue;
      SCOPED_TRACE(op.label);
      const std::string new_text = NewText(op, text);
      WriteFile("t.html", text);
      ::testing::internal::CaptureStderr();
      for (const Fault& f : row.faults) ArmFault(f.kind, f.nth, f.error, f.path_part);
      ZRTHtmlFile file("t.html");
      EXPECT_EQ(op.run(file), row.code);
      DisarmFaults();
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), row.traced ? op.disk_full_message : "");
      if (row.code == kOk || !row.cut) {
        EXPECT_TRUE(ReadFile("t.html") == (row.code == kOk ? new_text : text));
      }
      ExpectLeft(row.left, new_text);
    }
  }

  static void ExpectLeft(Left left, const std::string& new_text) {
    for (const std::string& name : testing::ListDirectory(kTemp)) {
      struct stat info;
      EXPECT_EQ(::stat((kTemp + name).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
    const std::vector<std::string> temps = testing::TakeTempTexts();
    ASSERT_EQ(temps.size(), left == Left::kNothing ? 0u : 1u);
    if (temps.empty()) return;
    const std::string expected = left == Left::kEmpty        ? ""
                                 : left == Left::kNewText    ? new_text
                                                             : new_text.substr(0, temps[0].size());
    EXPECT_TRUE(temps[0] == expected) << temps[0].substr(0, 80);
  }
};

// The seam counts the calls on a path: for the template, the read-only open that takes the lock
// comes first, then the scanner's or the tokenizer's open, then the open for the copy back; for
// the temporary file, its creation, then its reopening. A failed open is diagnosed by access(2),
// existence before readability. A failed statvfs counts as a full disk.
TEST_F(FailureTest, EachFailedCallGivesItsCodeAndKeepsTheTemplate) {
  const Row rows[] = {
      // The lock not had in time; a file system that cannot lock goes on without it.
      {kRewrite, {{Call::kLock, "t.html", EWOULDBLOCK}}, kOpenFailed},
      {kQuery, {{Call::kLock, "t.html", EWOULDBLOCK}}, kTemplateUnreadable},
      {kAll, {{Call::kLock, "t.html", ENOLCK}}, kOk},
      {kItem, {{Call::kOpen, "t.html", EACCES, 2}}, kOpenFailed},
      {kQuery, {{Call::kOpen, "t.html", EACCES, 2}}, kOpenFailed},
      {kQuery, {{Call::kRead, "t.html", EIO, 0}}, kOpenFailed},
      {kItem, {{Call::kOpen, kTemp, EMFILE}}, kTempNotWritable},
      {kItem, {{Call::kWrite, kTemp, ENOSPC}}, kTempDiskFull, Left::kEmpty, false, true},
      {kItem, {{Call::kWrite, kTemp, EIO}}, kOpenFailed, Left::kEmpty},
      {kItem, {{Call::kStatvfs, kTemp, EIO}}, kTempDiskFull, Left::kNewText, false, true},
      {kRewrite, {{Call::kStatvfs, "t.html", EIO}}, kOk},
      // A marker rewrite creates its temporary file first: an unreadable template leaves it.
      {kMarker, {{Call::kOpen, "t.html", EACCES, 2}}, kTemplateNotWritable, Left::kEmpty},
      {kMarker, {{Call::kRead, "t.html", EIO, 2}}, kTemplateNotWritable, Left::kEmpty},
      {kMarker, {{Call::kOpen, kTemp, EMFILE}}, kTemplateNotWritable},
      {kMarker, {{Call::kWrite, kTemp, ENOSPC}}, kTempDiskFull, Left::kStartOfText},
      {kMarker, {{Call::kWrite, kTemp, EIO}}, kOpenFailed, Left::kStartOfText},
      {kMarker | kCopy, {{Call::kStatvfs, kTemp, EIO, 0}}, kOk},
      // Reopening the temporary file for the copy back.
      {kItem | kMarker, {{Call::kOpen, kTemp, EMFILE, 2}}, kOpenFailed, Left::kNewText},
      {kItem | kMarker, {{Call::kOpen, kTemp, ENOENT, 2}, {Call::kAccess, kTemp, ENOENT}},
       kTempVanished, Left::kNewText},
      {kItem | kMarker, {{Call::kOpen, kTemp, EACCES, 2}, {Call::kAccess, kTemp, EACCES, 2}},
       kTempUnreadable, Left::kNewText},
      // Opening the template for output, and writing into it.
      {kItem | kMarker, {{Call::kOpen, "t.html", EMFILE, 3}}, kOpenFailed, Left::kNewText},
      {kItem | kMarker, {{Call::kOpen, "t.html", EACCES, 3}, {Call::kStatvfs, "t.html", EIO}},
       kTemplateDiskFull, Left::kNewText},
      {kItem | kMarker, {{Call::kWrite, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNewText,
       true},
      {kItem | kMarker, {{Call::kWrite, "t.html", EIO}}, kOpenFailed, Left::kNewText, true},
      {kItem | kMarker, {{Call::kReserve, "t.html", ENOSPC}}, kOk},
      {kItem | kMarker, {{Call::kUnlink, kTemp, EBUSY}}, kOk, Left::kNewText},
      // The mask copy reads its mask whole, under its own lock, then writes the template.
      {kCopy, {{Call::kOpen, "m.html", EACCES}}, kOpenFailed},
      {kCopy, {{Call::kOpen, "m.html", EACCES}, {Call::kAccess, "m.html", EACCES, 2}},
       kMaskUnreadable},
      {kCopy, {{Call::kLock, "m.html", EWOULDBLOCK}}, kOpenFailed},
      {kCopy, {{Call::kLock, "m.html", EOPNOTSUPP}}, kOk},
      {kCopy, {{Call::kRead, "m.html", EIO}}, kOpenFailed},
      {kCopy, {{Call::kLock, "t.html", EWOULDBLOCK}}, kOpenFailed},
      {kCopy, {{Call::kOpen, "t.html", EACCES, 2}}, kOpenFailed},
      {kCopy, {{Call::kOpen, "t.html", EMFILE, 2}, {Call::kStatvfs, "t.html", EIO}},
       kTemplateDiskFull},
      {kCopy, {{Call::kWrite, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNothing, true},
      {kCopy, {{Call::kWrite, "t.html", EIO}}, kOpenFailed, Left::kNothing, true},
  };
  for (std::size_t index = 0; index < sizeof rows / sizeof rows[0]; ++index) {
    SCOPED_TRACE("row " + std::to_string(index));
    Check(rows[index]);
  }
  EXPECT_EQ(ReadFile("m.html"), kMask);
}

std::string LargeText(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "<p>line of a large template</p>\n";
  return text;
}

// The copy back reserves the new length beyond the blocks the template holds (one full block
// here) and cuts a shorter text; a read that fails after the first block is no end of file.
TEST_F(FailureTest, ReservationCutAndReadErrorsPartWay) {
  const std::string block = "<S>old</S><QLXSTART>" + std::string(4096 - 24, 'x') + "<p>\n";
  WriteFile("m.html", block + "more");
  Check({kItem | kMarker, {{Call::kReserve, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNewText},
        block, {"tag", "start"});
  Check({kMarker, {{Call::kReserve, "t.html", EFBIG}}, kOpenFailed, Left::kNewText}, block, {"start"});
  Check({kCopy, {{Call::kReserve, "t.html", EDQUOT}}, kTemplateDiskFull}, block);
  WriteFile("m.html", "short");
  Check({kCopy, {{Call::kTruncate, "t.html", EIO}}, kOpenFailed, Left::kNothing, true}, block);
  const std::string large = kTemplate + LargeText(200 * 1024);
  WriteFile("m.html", large + "<p>mask</p>\n");
  Check({kItem | kMarker, {{Call::kRead, kTemp, EIO, 2}}, kOpenFailed, Left::kNewText, true}, large,
        {"tag", "start"});
  Check({kItem, {{Call::kRead, "t.html", EIO, 3}}, kOpenFailed, Left::kStartOfText}, large);
  Check({kMarker, {{Call::kRead, "t.html", EIO, 3}}, kTemplateNotWritable, Left::kStartOfText},
        large, {"start"});
  Check({kCopy, {{Call::kRead, "m.html", EIO, 2}}, kOpenFailed}, large);
}

// A rewrite never takes an existing name for its temporary file; it gives 4 when every name it
// draws is taken. The names are drawn with rand(), which the test seeds after the object did.
TEST_F(FailureTest, TemporaryFileNeverTakesAnExistingName) {
  WriteFile("t.html", kTemplate);
  ZRTHtmlFile file("t.html");
  std::srand(7);
  std::vector<std::string> names;
  for (int draw = 0; draw < 100; ++draw) names.push_back(kTemp + std::to_string(std::rand()) + ".html");
  for (const std::string& name : names) WriteFile(name, "someone else's");
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kTempExists);
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
  ::unlink(names[99].c_str());
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kOk);
  for (const std::string& name : names) EXPECT_TRUE(name == names[99] || ReadFile(name) == "someone else's");
}

// Real conditions, without the seam: every group's code for each, and what is left.
TEST_F(FailureTest, RealConditionsGiveTheCodesTheSeamStandsFor) {
  struct Condition {
    const char* label;
    std::function<void()> set_up;  // on t.html, holding kTemplate
    const char* path;              // the template the operations get
    bool unprivileged;
    std::map<int, std::pair<int, Left>> outcome;  // group -> code, left
  };
  const auto chmod_template = [](mode_t mode) { return [mode] { ::chmod("t.html", mode); }; };
  const std::pair<int, Left> ok = {kOk, Left::kNothing};
  const Condition conditions[] = {
      {"no path", [] {}, nullptr, false,
       {{kItem, {kTemplateMissing, Left::kNothing}}, {kMarker, {kTemplateMissing, Left::kNothing}},
        {kCopy, {kTemplateMissing, Left::kNothing}}, {kQuery, {kTemplateMissing, Left::kNothing}}}},
      {"missing", [] {}, "missing.html", false,
       {{kItem, {kTemplateMissing, Left::kNothing}}, {kMarker, {kTemplateNotWritable, Left::kEmpty}},
        {kQuery, {kTemplateMissing, Left::kNothing}}}},
      {"directory", [] { ::mkdir("dir.html", 0777); }, "dir.html", false,
       {{kItem, {kOpenFailed, Left::kNothing}}, {kMarker, {kTemplateNotWritable, Left::kEmpty}},
        {kQuery, {kOpenFailed, Left::kNothing}}}},
      {"unreadable", chmod_template(0200), "t.html", true,
       {{kItem, {kTemplateUnreadable, Left::kNothing}}, {kMarker, {kTemplateNotWritable, Left::kEmpty}},
        {kQuery, {kTemplateUnreadable, Left::kNothing}}}},
      {"read-only", chmod_template(0444), "t.html", true,
       {{kItem, {kTemplateNotWritable, Left::kNewText}}, {kMarker, {kTemplateNotWritable, Left::kNewText}},
        {kCopy, {kTemplateNotWritable, Left::kNothing}}, {kQuery, ok}}},
      {"no temporary directory", [] { ::rmdir("c:/temp"); }, "t.html", false,
       {{kItem, {kTempNotWritable, Left::kNothing}}, {kMarker, {kTemplateNotWritable, Left::kNothing}},
        {kCopy, ok}, {kQuery, ok}}},
  };
  for (const Condition& c : conditions) {
    for (const Operation& op : Operations()) {
      if (c.outcome.count(op.group) == 0) continue;
      SCOPED_TRACE(std::string(c.label) + ", " + op.label);
      const std::string new_text = NewText(op, kTemplate);
      WriteFile("t.html", kTemplate);
      c.set_up();
      const int code = testing::RunInChild([&] {
        ZRTHtmlFile file(c.path);
        return op.run(file);
      }, c.unprivileged);
      ::chmod("t.html", 0644);
      ::mkdir("c:/temp", 0777);
      ::chmod("c:/temp", 0777);
      EXPECT_EQ(code, c.outcome.at(op.group).first);
      EXPECT_EQ(ReadFile("t.html"), code == kOk && op.group != kQuery ? new_text : kTemplate);
      ExpectLeft(code == kOk ? Left::kNothing : c.outcome.at(op.group).second, new_text);
      EXPECT_NE(::access("missing.html", 0), 0);
    }
  }
}

// ZRTMASK_TEMP_DIR, when set and not empty, names the temporary directory; it must exist too.
TEST_F(FailureTest, TemporaryDirectoryFromTheEnvironment) {
  ::mkdir("other", 0777);
  for (const char* directory : {"other", "other/", "missing", ""}) {
    SCOPED_TRACE(directory);
    ::setenv("ZRTMASK_TEMP_DIR", directory, 1);
    ::rmdir("c:/temp");
    WriteFile("t.html", kTemplate);
    ArmFault(Call::kUnlink, 1, EBUSY, "other/");
    EXPECT_EQ(ZRTHtmlFile("t.html").SetZRTTagContent("S", "C"),
              directory[0] == 'o' ? kOk : kTempNotWritable);
    DisarmFaults();
  }
  ::unsetenv("ZRTMASK_TEMP_DIR");
  EXPECT_EQ(testing::ListDirectory("other").size(), 2u);
}

// Mask-copy failures that the table cannot show: the mask path, and a template created for the
// copy that is removed again when the copy fails.
TEST_F(FailureTest, MaskCopyFailuresLeaveNoNewTemplate) {
  ::mkdir("dir.html", 0777);
  WriteFile("t.html", "old");
  const std::pair<const char*, int> masks[] = {
      {nullptr, kMaskMissing}, {"absent.html", kMaskMissing}, {"dir.html", kOpenFailed}};
  for (const auto& [mask, code] : masks) EXPECT_EQ(ZRTHtmlFile("t.html").CopyMaskFile(mask), code);
  ::chmod("m.html", 0200);
  EXPECT_EQ(testing::RunInChild([] { return ZRTHtmlFile("t.html").CopyMaskFile("m.html"); }, true),
            kMaskUnreadable);
  ::chmod("m.html", 0644);
  EXPECT_EQ(ZRTHtmlFile("absent/t.html").CopyMaskFile("m.html"), kTemplateNotWritable);
  const Fault faults[] = {{Call::kOpen, "new.html", EACCES, 0},
                          {Call::kReserve, "new.html", ENOSPC},
                          {Call::kWrite, "new.html", EIO}};
  for (const Fault& f : faults) {
    ArmFault(f.kind, f.nth, f.error, f.path_part);
    EXPECT_NE(ZRTHtmlFile("new.html").CopyMaskFile("m.html"), kOk);
    DisarmFaults();
    EXPECT_NE(::access("new.html", 0), 0);
  }
  EXPECT_EQ(ReadFile("t.html"), "old");
  // A mask that is the template, by any name, leaves it as it is.
  ::symlink("t.html", "link.html");
  for (const char* mask : {"t.html", "./t.html", "link.html"}) {
    EXPECT_EQ(ZRTHtmlFile("t.html").CopyMaskFile(mask), kOk);
    EXPECT_EQ(ReadFile("t.html"), "old");
  }
}

// Runs body in a child that has mounted a tmpfs of 64 KB on directory, in a mount namespace of
// its own: the disk really runs out of space. Returns body's result, 250 when the mount failed.
int RunOnSmallDisk(const char* directory, const std::function<int()>& body) {
  return testing::RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", directory, "tmpfs", 0, "size=65536") != 0) {
      return 250;
    }
    return body();
  });
}

// The real faults the seam stands for: a full temporary disk, a full template disk, /dev/full.
TEST_F(FailureTest, FullDisksGiveTheDiskFullCodes) {
  const std::string large = kTemplate + LargeText(200 * 1024);
  WriteFile("m.html", large);
  for (const Operation& op : Operations()) {
    if (op.group == kQuery) continue;
    SCOPED_TRACE(op.label);
    WriteFile("t.html", large);
    // c:/temp/ is full: 5 and the temporary file left; the mask copy needs none.
    EXPECT_EQ(RunOnSmallDisk("c:/temp", [&] {
                ZRTHtmlFile file("t.html");
                return op.run(file) + 100 * static_cast<int>(testing::ListDirectory(kTemp).size());
              }),
              op.group == kCopy ? kOk : kTempDiskFull + 100);
    testing::TakeTempTexts();
  }
  // The template alone on a full disk: 9, the template unchanged.
  ::mkdir("disk", 0777);
  EXPECT_EQ(RunOnSmallDisk("disk", [&] {
              WriteFile("disk/t.html", kTemplate);
              const int code = ZRTHtmlFile("disk/t.html").CopyMaskFile("m.html");
              return code + (ReadFile("disk/t.html") == kTemplate ? 100 : 0);
            }),
            kTemplateDiskFull + 100);
  // A device reserves no space, so the copy writes, and /dev/full fails with ENOSPC.
  ::symlink("/dev/full", "full.html");
  EXPECT_EQ(ZRTHtmlFile("full.html").CopyMaskFile("m.html"), kTemplateDiskFull);
}

}  // namespace
}  // namespace zrtmask
