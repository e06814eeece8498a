// Every rewrite against every way its files can fail: calls made to fail by the preloaded fault
// shim, and real faults (a full tmpfs, /dev/full, file-size and descriptor limits). Each case
// checks the result code, the template, and what is left in the temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ItemRewrites;
using testing::kItemTemplate;
using testing::ReadFile;
using testing::Rewrite;
using testing::RunInChild;
using testing::TakeTempTexts;
using testing::WriteFile;

constexpr char kTemplatePath[] = "t.html";
constexpr char kMaskPath[] = "m.html";

// What a case leaves in the temporary directory.
enum class Left {
  kNothing,      // no temporary file
  kEmptyTemp,    // one empty temporary file
  kStartOfText,  // one temporary file holding the start of the new text, or all of it
  kNewText,      // one temporary file holding the whole new text
};

// One fault and its outcome. The template holds the new text after 0 and its old text after a
// failure, unless the failure came while the new text was being written into it.
struct Fault {
  const char* faults;  // ZRTMASK_FAULTS for the shim
  int code;
  Left left;
  bool template_cut = false;  // the template may hold part of either text
};

// The exit status of a child that could not set up its fault.
constexpr int kSetupFailed = 250;

// Runs body in a child that has mounted a fresh tmpfs of size bytes on directory, in a mount
// namespace of its own: the file system really runs out of space, and nothing outside the
// child sees it. Returns body's result, or kSetupFailed when the mount could not be made.
int RunOnSmallDisk(const char* directory, int size, const std::function<int()>& body) {
  return RunInChild([&] {
    const std::string options = "size=" + std::to_string(size);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", directory, "tmpfs", 0, options.c_str()) != 0) {
      return kSetupFailed;
    }
    return body();
  });
}

// The rewrite's code plus 100 for each file left in c:/temp/: lets a child whose c:/temp/
// vanishes with it report both.
int CodeAndTempCount(int code) {
  return code + 100 * static_cast<int>(testing::ListDirectory("c:/temp").size());
}

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

class FaultInjectionTest : public testing::ScratchDirTest {
 protected:
  // Runs every fault against rewrite and checks each outcome. The temporary file of an item
  // rewrite holds the text before its line feeds are folded.
  void ExpectFaults(const Rewrite& rewrite, const std::string& template_text,
                    const std::vector<Fault>& faults, bool temp_is_final_text) {
    const std::string new_text = testing::NewText(rewrite, template_text);
    ASSERT_NE(new_text, template_text);
    for (const Fault& fault : faults) {
      SCOPED_TRACE(std::string(rewrite.label) + " with " + fault.faults);
      WriteFile(kTemplatePath, template_text);
      EXPECT_EQ(testing::RunWithFaults(fault.faults, rewrite, kTemplatePath), fault.code);
      if (fault.code == kOk || !fault.template_cut) {
        EXPECT_TRUE(
            SameText(ReadFile(kTemplatePath), fault.code == kOk ? new_text : template_text));
      }
      const std::vector<std::string> temps = TakeTempTexts();
      ASSERT_EQ(temps.size(), fault.left == Left::kNothing ? 0u : 1u);
      if (temps.empty()) continue;
      // Folding line feeds as the copy back does turns the start of the temporary text into
      // the start of the new text.
      const std::string temp = temp_is_final_text ? temps[0] : testing::FoldLineFeeds(temps[0]);
      const std::string expected = fault.left == Left::kEmptyTemp ? ""
                                   : fault.left == Left::kNewText ? new_text
                                                                  : new_text.substr(0, temp.size());
      EXPECT_TRUE(SameText(temp, expected));
    }
  }
};

// The faults of the rewrite cycle tests (a full or failing temporary disk, failed writes, a
// vanished or denied temporary file) are not repeated here. Every failure after the temporary
// file was created leaves it behind. The library looks at errno only for a lack of space, so
// each open is failed with one errno; the descriptor-limit test makes EMFILE for real.
TEST_F(FaultInjectionTest, ItemRewritesReportEachFailedCallAndKeepTheTemplate) {
  const std::vector<Fault> faults = {
      // Opening the template for scanning: the access test finds it readable.
      {"open_read_eacces=t.html", kOpenFailed, Left::kNothing},
      // Creating the temporary file: a file that does not exist is not writable.
      {"open_write_emfile=c:/temp/", kTempNotWritable, Left::kNothing},
      {"open_read_eacces=c:/temp/", kOpenFailed, Left::kNewText},  // reopened for the copy back
      // Opening the template for output; its disk is asked only when that open fails.
      {"open_write_emfile=t.html", kOpenFailed, Left::kNewText},
      {"open_write_eacces=t.html;statvfs_zero=t.html", kTemplateDiskFull, Left::kNewText},
      {"open_write_emfile=t.html;statvfs_fail=t.html", kTemplateDiskFull, Left::kNewText},
      {"statvfs_zero=t.html", kOk, Left::kNothing},
      {"write_enospc=t.html", kTemplateDiskFull, Left::kNewText, /*template_cut=*/true},
      // Removing the temporary file is the last step: the rewrite is done.
      {"unlink_fail=c:/temp/", kOk, Left::kNewText},
  };
  for (const Rewrite& rewrite : ItemRewrites()) ExpectFaults(rewrite, kItemTemplate, faults, false);
}

constexpr char kMarkerTemplate[] = "<html>\n<QLXSTART><QLXANNOT>\n<QLXURL><QLXDBACCESS>\n</html>\n";

const std::vector<Rewrite>& MarkerValues() {
  static const std::vector<Rewrite> rewrites = {
      {"start", {"start", "v"}, [](ZRTHtmlFile& file) { return file.SetZRTStart("v"); }},
      {"annot", {"annot", "v"}, [](ZRTHtmlFile& file) { return file.SetZRTAnnotations("v"); }},
      {"url", {"url", "v"}, [](ZRTHtmlFile& file) { return file.SetZRTURL("v"); }},
      {"db", {"db", "v"}, [](ZRTHtmlFile& file) { return file.SetZRTDBAccess("v"); }},
  };
  return rewrites;
}

TEST_F(FaultInjectionTest, MarkerValuesReportEachFailedCallAndKeepTheTemplate) {
  const std::vector<Fault> faults = {
      // The template cannot be read: the temporary file, created first, stays behind empty.
      {"open_read_eacces=t.html", kTemplateNotWritable, Left::kEmptyTemp},
      {"open_read_deny=t.html", kTemplateNotWritable, Left::kEmptyTemp},
      {"open_write_emfile=c:/temp/", kTemplateNotWritable, Left::kNothing},
      // Writing it fails; a full disk that no write runs into is not asked about.
      {"write_enospc=c:/temp/", kTempDiskFull, Left::kStartOfText},
      {"write_eio=c:/temp/", kOpenFailed, Left::kStartOfText},
      {"statvfs_zero=c:/temp/", kOk, Left::kNothing},
      // Reopening it for the copy back.
      {"open_read_emfile=c:/temp/", kOpenFailed, Left::kNewText},
      {"open_read_deny=c:/temp/", kTempUnreadable, Left::kNewText},
      {"open_read_vanish=c:/temp/", kTempVanished, Left::kNothing},
      // Opening the template for output, and writing into it.
      {"open_write_eacces=t.html", kOpenFailed, Left::kNewText},
      {"open_write_eacces=t.html;statvfs_zero=t.html", kTemplateDiskFull, Left::kNewText},
      {"open_write_eacces=t.html;statvfs_fail=t.html", kTemplateDiskFull, Left::kNewText},
      {"write_enospc=t.html", kTemplateDiskFull, Left::kNewText, /*template_cut=*/true},
      {"write_eio=t.html", kOpenFailed, Left::kNewText, /*template_cut=*/true},
      {"unlink_fail=c:/temp/", kOk, Left::kNewText},
  };
  for (const Rewrite& rewrite : MarkerValues())
    ExpectFaults(rewrite, kMarkerTemplate, faults, true);
}

const Rewrite& MaskCopy() {
  static const Rewrite rewrite = {
      "copy", {"copy", kMaskPath}, [](ZRTHtmlFile& file) { return file.CopyMaskFile(kMaskPath); }};
  return rewrite;
}

// The mask is read whole before the template is opened; no temporary file is involved, and a
// write that fails part way leaves the new text in the mask.
TEST_F(FaultInjectionTest, MaskCopyReportsEachFailedCallAndKeepsTheTemplate) {
  WriteFile(kMaskPath, "<p>mask\n\n\n</p>\r\n");
  const std::vector<Fault> faults = {
      // Opening the mask: only the access test tells an unreadable one.
      {"open_read_eacces=m.html", kOpenFailed, Left::kNothing},
      {"open_read_deny=m.html", kMaskUnreadable, Left::kNothing},
      // The temporary directory plays no part.
      {"open_write_eacces=c:/temp/", kOk, Left::kNothing},
      {"statvfs_fail=c:/temp/", kOk, Left::kNothing},
      // The template: opened for output, written.
      {"open_write_eacces=t.html", kOpenFailed, Left::kNothing},
      {"open_write_emfile=t.html;statvfs_zero=t.html", kTemplateDiskFull, Left::kNothing},
      {"write_enospc=t.html", kTemplateDiskFull, Left::kNothing, /*template_cut=*/true},
      {"write_eio=t.html", kOpenFailed, Left::kNothing, /*template_cut=*/true},
  };
  ExpectFaults(MaskCopy(), "old template\n", faults, /*temp_is_final_text=*/true);
  EXPECT_EQ(ReadFile(kMaskPath), "<p>mask\n\n\n</p>\r\n");
}

// A template that does not exist yet is created by the copy; when the copy then fails, it is
// removed again, and when it cannot even be created, nothing appears.
TEST_F(FaultInjectionTest, FailedMaskCopyLeavesNoNewTemplate) {
  WriteFile(kMaskPath, "mask");
  const std::pair<const char*, int> cases[] = {{"open_write_eacces=t.html", kTemplateNotWritable},
                                               {"write_enospc=t.html", kTemplateDiskFull},
                                               {"write_eio=t.html", kOpenFailed}};
  for (const auto& [faults, code] : cases) {
    SCOPED_TRACE(faults);
    EXPECT_EQ(testing::RunWithFaults(faults, MaskCopy(), kTemplatePath), code);
    EXPECT_FALSE(testing::FileExists(kTemplatePath));
    EXPECT_TRUE(TempFiles().empty());
  }
}

// A read that fails after the first block is no end of the file: a rewrite that took it for
// one would copy back a template cut short.
TEST_F(FaultInjectionTest, ReadErrorPartWayFailsTheRewrite) {
  const std::string large =
      "<html>\n<S>old</S>\n<QLXSTART>\n" + LargeText(200 * 1024) + "</html>\n";
  // Reading the temporary file back: the template may be cut, the new text is kept.
  const Fault temp_fault = {"read_eio_later=c:/temp/", kOpenFailed, Left::kNewText, true};
  ExpectFaults(ItemRewrites()[1], large, {temp_fault}, /*temp_is_final_text=*/false);
  ExpectFaults(MarkerValues()[0], large, {temp_fault}, /*temp_is_final_text=*/true);
  // Reading the mask, which is read whole before the template is opened.
  WriteFile(kMaskPath, large + "<p>mask</p>\n");
  ExpectFaults(MaskCopy(), large, {{"read_eio_later=m.html", kOpenFailed, Left::kNothing}}, true);
  // Scanning the template: the item rewrites read it through the same reader.
  for (const Rewrite& rewrite : ItemRewrites()) {
    ExpectFaults(rewrite, large + kItemTemplate,
                 {{"read_eio_later=t.html", kOpenFailed, Left::kStartOfText}}, false);
  }
}

TEST_F(FaultInjectionTest, FullTemporaryDiskGives5ToRewritesButNotToTheMaskCopy) {
  const std::string large = "<S>old</S><QLXSTART>\n" + LargeText(200 * 1024);
  const std::string mask = large + "<p>mask</p>\n";
  WriteFile(kMaskPath, mask);
  struct Case {
    const char* label;
    std::function<int()> run;
    int code_and_temps;  // the temporary file, cut short, stays behind
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
    // c:/temp/ is a 64 KB disk; the template is not on it.
    EXPECT_EQ(RunOnSmallDisk("c:/temp", 64 * 1024, [&] { return CodeAndTempCount(c.run()); }),
              c.code_and_temps);
    EXPECT_TRUE(SameText(ReadFile(kTemplatePath), c.template_after));
  }
}

TEST_F(FaultInjectionTest, FullTemplateDiskGives9AndKeepsTheNewText) {
  const std::string large = LargeText(100 * 1024);
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
       "<S>old</S><QLXSTART>\n" + large + "\n"},
      {"copy", [](ZRTHtmlFile& file) { return file.CopyMaskFile(kMaskPath); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // The template sits alone on a 64 KB disk; its new text does not fit.
    EXPECT_EQ(RunOnSmallDisk("disk", 64 * 1024,
                             [&] {
                               WriteFile("disk/t.html", "<S>old</S><QLXSTART>");
                               ZRTHtmlFile file("disk/t.html");
                               return c.run(file);
                             }),
              kTemplateDiskFull);
    const std::vector<std::string> temps = TakeTempTexts();
    if (c.kept_in_temp.empty()) {
      EXPECT_TRUE(temps.empty());
      EXPECT_TRUE(SameText(ReadFile(kMaskPath), large));
    } else {
      ASSERT_EQ(temps.size(), 1u);
      EXPECT_TRUE(SameText(temps[0], c.kept_in_temp));
    }
  }
}

// Writing to /dev/full fails with ENOSPC.
TEST_F(FaultInjectionTest, MaskCopyOntoDevFullGives9AndKeepsTheMask) {
  WriteFile(kMaskPath, "mask text");
  ASSERT_EQ(::symlink("/dev/full", kTemplatePath), 0);
  EXPECT_EQ(ZRTHtmlFile(kTemplatePath).CopyMaskFile(kMaskPath), kTemplateDiskFull);
  EXPECT_EQ(ReadFile(kMaskPath), "mask text");
  EXPECT_TRUE(TempFiles().empty());
}

// EFBIG is no lack of space: the generic failure. SIGXFSZ is ignored so that a write past the
// limit fails instead of ending the process.
TEST_F(FaultInjectionTest, FileSizeLimitGives15) {
  const std::string large = "<S>old</S>\n" + LargeText(8 * 1024);
  WriteFile(kMaskPath, large);
  const struct {
    const char* label;
    std::function<int()> run;
    std::size_t temps_left;  // an item rewrite keeps the start of the new text
  } cases[] = {
      {"view", [] { return ZRTHtmlFile(kTemplatePath).SetZRTViewName("N"); }, 1},
      {"image", [] { return ZRTHtmlFile(kTemplatePath).SetZRTImageName("i", 1, 2); }, 1},
      {"copy", [] { return ZRTHtmlFile(kTemplatePath).CopyMaskFile(kMaskPath); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(kTemplatePath, large);
    EXPECT_EQ(RunInChild([&] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit value = {4096, 4096};
                return ::setrlimit(RLIMIT_FSIZE, &value) != 0 ? kSetupFailed : c.run();
              }),
              kOpenFailed);
    if (c.temps_left == 1) {
      EXPECT_TRUE(SameText(ReadFile(kTemplatePath), large));
    }
    EXPECT_TRUE(SameText(ReadFile(kMaskPath), large));
    const std::vector<std::string> temps = TakeTempTexts();
    ASSERT_EQ(temps.size(), c.temps_left);
    for (const std::string& temp : temps) EXPECT_LE(temp.size(), 4096u);
  }
}

// With every descriptor taken but a few, the open that finds none free fails with EMFILE: a
// rewrite reports the step it could not take and keeps the template.
TEST_F(FaultInjectionTest, DescriptorLimitFailsTheNextOpenAndKeepsTheTemplate) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime opens descriptors of its own (a pipe to probe memory before it
  // reports), so with the table full it reports faults that are not there. The plain build
  // runs this test.
  GTEST_SKIP() << "needs free descriptors for the sanitizer runtime";
#endif
  WriteFile(kTemplatePath, kItemTemplate);
  WriteFile(kMaskPath, "mask");
  const auto tag = [] { return ZRTHtmlFile(kTemplatePath).SetZRTTagContent("S", "C"); };
  struct Case {
    const char* label;
    int free_descriptors;
    std::function<int()> run;
    int code;
    std::size_t temps_left;
  } cases[] = {
      {"tag, no descriptor", 0, tag, kOpenFailed, 0},
      {"tag, one for the template", 1, tag, kTempNotWritable, 0},
      {"start, one for the temporary file", 1,
       [] { return ZRTHtmlFile(kTemplatePath).SetZRTStart("v"); }, kTemplateNotWritable, 1},
      {"copy, no descriptor", 0, [] { return ZRTHtmlFile(kTemplatePath).CopyMaskFile(kMaskPath); },
       kOpenFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const int code = RunInChild([&] {
      // A low soft limit keeps the filling short. Valgrind only records the limit and stops
      // at its own, so the filling, not the limit, makes the fault.
      rlimit value;
      if (::getrlimit(RLIMIT_NOFILE, &value) != 0) return kSetupFailed;
      value.rlim_cur = std::min<rlim_t>(value.rlim_max, 256);
      if (::setrlimit(RLIMIT_NOFILE, &value) != 0) return kSetupFailed;
      std::vector<int> taken;
      for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
      if (errno != EMFILE || taken.size() < static_cast<std::size_t>(c.free_descriptors)) {
        return kSetupFailed;
      }
      for (int freed = 0; freed < c.free_descriptors; ++freed)
        ::close(taken[taken.size() - 1 - freed]);
      return c.run();
    });
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(ReadFile(kTemplatePath), kItemTemplate);
    EXPECT_EQ(TakeTempTexts(), std::vector<std::string>(c.temps_left, ""));
  }
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
