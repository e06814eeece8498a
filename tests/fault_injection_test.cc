// Every rewrite against every way its files can fail: calls failed through the platform layer's
// fault seam, and real faults (a full tmpfs, /dev/full). Each case checks the result code, the
// template, what is left in the temporary directory (mode 0600) and what is traced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::Injected;
using testing::ItemRewrites;
using testing::kItemTemplate;
using testing::ReadFile;
using testing::Rewrite;
using testing::RunOnSmallDisk;
using testing::TakeTempTexts;
using testing::WriteFile;

constexpr char kTemplatePath[] = "t.html";
constexpr char kMaskPath[] = "m.html";
constexpr char kTemp[] = "c:/temp/";

// What a case leaves in the temporary directory.
enum class Left {
  kNothing,      // no temporary file
  kEmptyTemp,    // one empty temporary file
  kStartOfText,  // one temporary file holding the start of the new text, or all of it
  kNewText,      // one temporary file holding the whole new text
};

// Faults and their outcome. The template holds the new text after 0 and its old text after a
// failure, unless the failure came while the new text was being written into it.
struct Fault {
  std::vector<Injected> faults;
  int code;
  Left left;
  bool template_cut = false;  // the template may hold part of either text
  bool traced = false;        // the rewrite's disk-full message is traced
};

// Compares two texts without printing them whole, which for a large template would bury the
// difference.
::testing::AssertionResult SameText(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "the texts differ from byte " << at << " (" << actual.size() << " bytes, expected "
         << expected.size() << "): \"" << actual.substr(at, 40) << "\" where \""
         << expected.substr(at, 40) << "\" was expected";
}

std::string LargeText(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "<p>line of a large template</p>\n";
  return text;
}

// The temporary files left, each checked for mode 0600, then removed.
std::vector<std::string> TakeOwnerOnlyTemps() {
  for (const std::string& name : testing::ListDirectory("c:/temp")) {
    struct stat info;
    EXPECT_EQ(::stat(("c:/temp/" + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
  }
  return TakeTempTexts();
}

class FaultInjectionTest : public testing::ScratchDirTest {
 protected:
  // Runs every fault against rewrite and checks each outcome.
  void ExpectFaults(const Rewrite& rewrite, const std::string& template_text,
                    const std::vector<Fault>& faults, const std::string& message = "") {
    const std::string new_text = testing::NewText(rewrite, template_text);
    ASSERT_NE(new_text, template_text);
    for (std::size_t row = 0; row < faults.size(); ++row) {
      const Fault& fault = faults[row];
      SCOPED_TRACE(std::string(rewrite.label) + ", row " + std::to_string(row));
      WriteFile(kTemplatePath, template_text);
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(testing::RunWithFaults(fault.faults, rewrite, kTemplatePath), fault.code);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), fault.traced ? message : "");
      if (fault.code == kOk || !fault.template_cut) {
        EXPECT_TRUE(
            SameText(ReadFile(kTemplatePath), fault.code == kOk ? new_text : template_text));
      }
      const std::vector<std::string> temps = TakeOwnerOnlyTemps();
      ASSERT_EQ(temps.size(), fault.left == Left::kNothing ? 0u : 1u);
      if (temps.empty()) continue;
      // The temporary file holds the final text: what the template is to become.
      const std::string expected = fault.left == Left::kEmptyTemp ? ""
                                   : fault.left == Left::kNewText
                                       ? new_text
                                       : new_text.substr(0, temps[0].size());
      EXPECT_TRUE(SameText(temps[0], expected));
    }
  }
};

// The seam counts the calls on a path: for the template, the read-only open that takes the lock
// comes first, then the scanner's (item) or the tokenizer's (marker) open, then the open for the
// copy back; for the temporary file, its creation, then its reopening. The diagnosis of a failed
// open asks access(2) for existence before readability. A failed statvfs counts as a full disk.
TEST_F(FaultInjectionTest, ItemRewritesReportEachFailedCallAndKeepTheTemplate) {
  const std::vector<Fault> faults = {
      // The lock not had in time; a file system that cannot lock goes on without it.
      {{{Call::kLock, "t.html", EWOULDBLOCK}}, kOpenFailed, Left::kNothing},
      {{{Call::kLock, "t.html", ENOLCK}}, kOk, Left::kNothing},
      {{{Call::kOpen, "t.html", EACCES, 2}}, kOpenFailed, Left::kNothing},
      {{{Call::kOpen, kTemp, EMFILE}}, kTempNotWritable, Left::kNothing},
      {{{Call::kWrite, kTemp, ENOSPC}}, kTempDiskFull, Left::kEmptyTemp, false, true},
      {{{Call::kWrite, kTemp, EIO}}, kOpenFailed, Left::kEmptyTemp},
      {{{Call::kStatvfs, kTemp, EIO}}, kTempDiskFull, Left::kNewText, false, true},
      {{{Call::kOpen, kTemp, EACCES, 2}}, kOpenFailed, Left::kNewText},
      {{{Call::kOpen, kTemp, ENOENT, 2}, {Call::kAccess, kTemp, ENOENT}},
       kTempVanished,
       Left::kNewText},
      {{{Call::kOpen, kTemp, EACCES, 2}, {Call::kAccess, kTemp, EACCES, 2}},
       kTempUnreadable,
       Left::kNewText},
      {{{Call::kOpen, "t.html", EMFILE, 3}}, kOpenFailed, Left::kNewText},
      {{{Call::kOpen, "t.html", EACCES, 3}, {Call::kStatvfs, "t.html", EIO}},
       kTemplateDiskFull,
       Left::kNewText},
      {{{Call::kStatvfs, "t.html", EIO}}, kOk, Left::kNothing},
      {{{Call::kWrite, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNewText, true},
      {{{Call::kWrite, "t.html", EIO}}, kOpenFailed, Left::kNewText, true},
      // Removing the temporary file is the last step: the rewrite is done.
      {{{Call::kUnlink, kTemp, EBUSY}}, kOk, Left::kNewText},
  };
  const char* const messages[] = {"", "disk full : ZRTHtmlFile::SetZRTTagContent ...\n",
                                  "Disk full : ZRTHtmlFile::dump ...\n", ""};
  for (std::size_t index = 0; index < ItemRewrites().size(); ++index) {
    ExpectFaults(ItemRewrites()[index], kItemTemplate, faults, messages[index]);
  }
}

constexpr char kMarkerTemplate[] = "<html>\n<QLXSTART><QLXANNOT>\n<QLXURL><QLXDBACCESS>\n</html>\n";

const std::vector<Rewrite>& MarkerValues() {
  static const std::vector<Rewrite> rewrites = {
      {"start", [](ZRTHtmlFile& file) { return file.SetZRTStart("v"); }},
      {"annot", [](ZRTHtmlFile& file) { return file.SetZRTAnnotations("v"); }},
      {"url", [](ZRTHtmlFile& file) { return file.SetZRTURL("v"); }},
      {"db", [](ZRTHtmlFile& file) { return file.SetZRTDBAccess("v"); }},
  };
  return rewrites;
}

TEST_F(FaultInjectionTest, MarkerValuesReportEachFailedCallAndKeepTheTemplate) {
  const std::vector<Fault> faults = {
      {{{Call::kLock, "t.html", EWOULDBLOCK}}, kOpenFailed, Left::kNothing},
      {{{Call::kLock, "t.html", EBADF}}, kOk, Left::kNothing},
      // The template cannot be read: the temporary file, created first, stays behind empty.
      {{{Call::kOpen, "t.html", EACCES, 2}}, kTemplateNotWritable, Left::kEmptyTemp},
      {{{Call::kRead, "t.html", EIO, 2}}, kTemplateNotWritable, Left::kEmptyTemp},
      {{{Call::kOpen, kTemp, EMFILE}}, kTemplateNotWritable, Left::kNothing},
      // Writing it fails; a full disk that no write runs into is not asked about.
      {{{Call::kWrite, kTemp, ENOSPC}}, kTempDiskFull, Left::kStartOfText},
      {{{Call::kWrite, kTemp, EIO}}, kOpenFailed, Left::kStartOfText},
      {{{Call::kStatvfs, kTemp, EIO}}, kOk, Left::kNothing},
      // Reopening it for the copy back.
      {{{Call::kOpen, kTemp, EMFILE, 2}}, kOpenFailed, Left::kNewText},
      {{{Call::kOpen, kTemp, EACCES, 2}, {Call::kAccess, kTemp, EACCES, 2}},
       kTempUnreadable,
       Left::kNewText},
      {{{Call::kOpen, kTemp, ENOENT, 2}, {Call::kAccess, kTemp, ENOENT}},
       kTempVanished,
       Left::kNewText},
      // Opening the template for output, and writing into it.
      {{{Call::kOpen, "t.html", EACCES, 3}}, kOpenFailed, Left::kNewText},
      {{{Call::kOpen, "t.html", EACCES, 3}, {Call::kStatvfs, "t.html", EIO}},
       kTemplateDiskFull,
       Left::kNewText},
      {{{Call::kWrite, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNewText, true},
      {{{Call::kWrite, "t.html", EIO}}, kOpenFailed, Left::kNewText, true},
      {{{Call::kUnlink, kTemp, EBUSY}}, kOk, Left::kNewText},
  };
  for (const Rewrite& rewrite : MarkerValues()) ExpectFaults(rewrite, kMarkerTemplate, faults);
}

const Rewrite& MaskCopy() {
  static const Rewrite rewrite = {"copy",
                                  [](ZRTHtmlFile& file) { return file.CopyMaskFile(kMaskPath); }};
  return rewrite;
}

// The mask is read whole before the template is opened; no temporary file is involved, and a
// write that fails part way leaves the new text in the mask.
TEST_F(FaultInjectionTest, MaskCopyReportsEachFailedCallAndKeepsTheTemplate) {
  WriteFile(kMaskPath, "<p>mask\n\n\n</p>\r\n");
  const std::vector<Fault> faults = {
      // Opening the mask: only the access test tells an unreadable one.
      {{{Call::kOpen, "m.html", EACCES}}, kOpenFailed, Left::kNothing},
      {{{Call::kOpen, "m.html", EACCES}, {Call::kAccess, "m.html", EACCES, 2}},
       kMaskUnreadable,
       Left::kNothing},
      {{{Call::kLock, "m.html", EWOULDBLOCK}}, kOpenFailed, Left::kNothing},
      {{{Call::kLock, "m.html", EOPNOTSUPP}}, kOk, Left::kNothing},
      {{{Call::kRead, "m.html", EIO}}, kOpenFailed, Left::kNothing},
      // The temporary directory plays no part.
      {{{Call::kOpen, kTemp, EACCES, 0}, {Call::kStatvfs, kTemp, EIO, 0}}, kOk, Left::kNothing},
      // The template: locked, opened for output, written.
      // The lock not had in time; a file system that cannot lock goes on without it.
      {{{Call::kLock, "t.html", EWOULDBLOCK}}, kOpenFailed, Left::kNothing},
      {{{Call::kLock, "t.html", ENOLCK}}, kOk, Left::kNothing},
      {{{Call::kOpen, "t.html", EACCES, 2}}, kOpenFailed, Left::kNothing},
      {{{Call::kOpen, "t.html", EMFILE, 2}, {Call::kStatvfs, "t.html", EIO}},
       kTemplateDiskFull,
       Left::kNothing},
      {{{Call::kWrite, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNothing, true},
      {{{Call::kWrite, "t.html", EIO}}, kOpenFailed, Left::kNothing, true},
  };
  ExpectFaults(MaskCopy(), "old template\n", faults);
  EXPECT_EQ(ReadFile(kMaskPath), "<p>mask\n\n\n</p>\r\n");
}

// The copy back reserves the new length when it goes beyond the blocks that the template holds
// (one full block here): without room the template is not touched. A shorter text is cut to
// its length.
TEST_F(FaultInjectionTest, CopyBackReservesGrowthAndCutsAShorterText) {
  const std::string block = "<S>old</S><QLXSTART>" + std::string(4096 - 24, 'x') + "<p>\n";
  WriteFile(kMaskPath, block + "more");
  const Fault no_room = {{{Call::kReserve, "t.html", ENOSPC}}, kTemplateDiskFull, Left::kNewText};
  ExpectFaults(ItemRewrites()[1], block, {no_room});
  ExpectFaults(MarkerValues()[0], block,
               {no_room, {{{Call::kReserve, "t.html", EFBIG}}, kOpenFailed, Left::kNewText}});
  ExpectFaults(MaskCopy(), block,
               {{{{Call::kReserve, "t.html", EDQUOT}}, kTemplateDiskFull, Left::kNothing}});
  WriteFile(kMaskPath, "short");
  ExpectFaults(MaskCopy(), block,
               {{{{Call::kTruncate, "t.html", EIO}}, kOpenFailed, Left::kNothing, true}});
}

// A template that does not exist yet is created by the copy; when the copy then fails, it is
// removed again, and when it cannot even be created, nothing appears.
TEST_F(FaultInjectionTest, FailedMaskCopyLeavesNoNewTemplate) {
  WriteFile(kMaskPath, "mask");
  const std::pair<Injected, int> cases[] = {{{Call::kOpen, "t.html", EACCES, 0}, kTemplateNotWritable},
                                            {{Call::kReserve, "t.html", ENOSPC}, kTemplateDiskFull},
                                            {{Call::kWrite, "t.html", EIO}, kOpenFailed}};
  for (const auto& [fault, code] : cases) {
    SCOPED_TRACE(code);
    EXPECT_EQ(testing::RunWithFaults({fault}, MaskCopy(), kTemplatePath), code);
    EXPECT_FALSE(testing::FileExists(kTemplatePath));
    EXPECT_TRUE(TempFiles().empty());
  }
}

// A read that fails after the first block is no end of the file: a rewrite that took it for
// one would copy back a template cut short. The lock's look at the first line end reads the
// template's first block once more.
TEST_F(FaultInjectionTest, ReadErrorPartWayFailsTheRewrite) {
  const std::string large =
      "<html>\n<S>old</S>\n<QLXSTART>\n" + LargeText(200 * 1024) + "</html>\n";
  // Reading the temporary file back: the template may be cut, the new text is kept.
  const Fault temp_fault = {{{Call::kRead, kTemp, EIO, 2}}, kOpenFailed, Left::kNewText, true};
  ExpectFaults(ItemRewrites()[1], large, {temp_fault});
  ExpectFaults(MarkerValues()[0], large, {temp_fault});
  // Reading the template: the item rewrites through the scanner, the marker rewrites through
  // the tokenizer's stream, the mask copy its mask.
  const Fault template_fault = {{{Call::kRead, "t.html", EIO, 3}}, kOpenFailed, Left::kStartOfText};
  for (const Rewrite& rewrite : ItemRewrites()) ExpectFaults(rewrite, large + kItemTemplate, {template_fault});
  ExpectFaults(MarkerValues()[0], large,
               {{{{Call::kRead, "t.html", EIO, 3}}, kTemplateNotWritable, Left::kStartOfText}});
  WriteFile(kMaskPath, large + "<p>mask</p>\n");
  ExpectFaults(MaskCopy(), large, {{{{Call::kRead, "m.html", EIO, 2}}, kOpenFailed, Left::kNothing}});
}

// The real faults that the seam stands for: a full temporary disk, a full template disk during
// the copy back, and a device that is always full.
TEST_F(FaultInjectionTest, FullTemporaryDiskGives5ToRewritesButNotToTheMaskCopy) {
  const std::string large = "<S>old</S><QLXSTART>\n" + LargeText(200 * 1024);
  const std::string mask = large + "<p>mask</p>\n";
  WriteFile(kMaskPath, mask);
  struct Case {
    const char* label;
    std::function<int()> run;
    int code_and_temps;  // the code plus 100 for each temporary file left, cut short
    const std::string& template_after;
  } cases[] = {
      {"tag", [] { return ZRTHtmlFile(kTemplatePath).SetZRTTagContent("S", "C"); },
       kTempDiskFull + 100, large},
      {"start", [] { return ZRTHtmlFile(kTemplatePath).SetZRTStart("v"); }, kTempDiskFull + 100,
       large},
      // The mask copy needs no temporary file.
      {"copy", [] { return ZRTHtmlFile(kTemplatePath).CopyMaskFile(kMaskPath); }, kOk, mask},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(kTemplatePath, large);
    // c:/temp/ is a 64 KB disk; the template is not on it. The child's c:/temp/ vanishes with
    // it: it reports the files left.
    EXPECT_EQ(RunOnSmallDisk("c:/temp", 64 * 1024,
                             [&] {
                               const int code = c.run();
                               return code + 100 * static_cast<int>(TempFiles().size());
                             }),
              c.code_and_temps);
    EXPECT_TRUE(SameText(ReadFile(kTemplatePath), c.template_after));
  }
}

TEST_F(FaultInjectionTest, FullTemplateDiskGives9AndLeavesTheTemplateWhole) {
  const std::string large = LargeText(100 * 1024);
  const std::string old_text = "<S>old</S><QLXSTART>";
  WriteFile(kMaskPath, large);
  ASSERT_EQ(::mkdir("disk", 0777), 0);
  struct Case {
    const char* label;
    std::function<int(ZRTHtmlFile&)> run;
    std::string kept_in_temp;  // empty: no temporary file, the new text is in the mask
  } cases[] = {
      {"dump", [&](ZRTHtmlFile& file) { return file.dumpZRTTagContent("S", large.c_str()); },
       "<!--S-->" + large + "<!--/S--><QLXSTART>"},
      {"start", [&](ZRTHtmlFile& file) { return file.SetZRTStart(large.c_str()); },
       old_text + "\n" + large + "\n"},
      {"copy", [](ZRTHtmlFile& file) { return file.CopyMaskFile(kMaskPath); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // The template sits alone on a 64 KB disk; its new text does not fit. The child reports
    // the code plus 100 when the template is unchanged.
    EXPECT_EQ(RunOnSmallDisk("disk",
                             64 * 1024,
                             [&] {
                               WriteFile("disk/t.html", old_text);
                               ZRTHtmlFile file("disk/t.html");
                               const int code = c.run(file);
                               return code + (ReadFile("disk/t.html") == old_text ? 100 : 0);
                             }),
              kTemplateDiskFull + 100);
    const std::vector<std::string> temps = TakeOwnerOnlyTemps();
    if (c.kept_in_temp.empty()) {
      EXPECT_TRUE(temps.empty());
      EXPECT_TRUE(SameText(ReadFile(kMaskPath), large));
    } else {
      ASSERT_EQ(temps.size(), 1u);
      EXPECT_TRUE(SameText(temps[0], c.kept_in_temp));
    }
  }
}

// Writing to /dev/full fails with ENOSPC; a device reserves no space, so the copy writes.
TEST_F(FaultInjectionTest, MaskCopyOntoDevFullGives9AndKeepsTheMask) {
  WriteFile(kMaskPath, "mask text");
  ASSERT_EQ(::symlink("/dev/full", kTemplatePath), 0);
  EXPECT_EQ(ZRTHtmlFile(kTemplatePath).CopyMaskFile(kMaskPath), kTemplateDiskFull);
  EXPECT_EQ(ReadFile(kMaskPath), "mask text");
  EXPECT_TRUE(TempFiles().empty());
}

// A page published onto a full disk: 9, the old page as it was and nothing beside it (the
// child answers 1 when either is not so).
TEST_F(FaultInjectionTest, PublishOntoFullDiskKeepsTheOldPage) {
  WriteFile(kMaskPath, "<S>old</S>" + LargeText(100 * 1024));
  ASSERT_EQ(::mkdir("disk", 0777), 0);
  PageFill fill;
  fill.regions.push_back({"S", "new", false});
  EXPECT_EQ(RunOnSmallDisk("disk", 64 * 1024,
                           [&] {
                             WriteFile("disk/p.html", "old page");
                             const int code = PublishPage(kMaskPath, "disk/p.html", fill);
                             const bool kept = ReadFile("disk/p.html") == "old page" &&
                                               testing::ListDirectory("disk").size() == 1;
                             return kept ? code : 1;
                           }),
            kTemplateDiskFull);
}

}  // namespace
}  // namespace zrtmask
