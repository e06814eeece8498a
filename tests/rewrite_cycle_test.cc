// The item rewrite cycle: the temporary file, the copy back, and every result code of a rewrite
// with the template left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "template/temp_file.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ItemRewrites;
using testing::kItemTemplate;
using testing::ReadFile;
using testing::Rewrite;
using testing::WriteFile;

class RewriteCycleTest : public testing::ScratchDirTest {};

// What a failed rewrite leaves in c:/temp/.
enum class Left {
  kNothing,          // no temporary file: the rewrite failed before creating it, or it vanished
  kEmptyTemp,        // one empty temporary file: no write into it succeeded
  kTempWithNewText,  // one temporary file holding the whole new text, line feeds not yet folded
};

// Checks a failed rewrite: its code, the template byte for byte, and what it left in c:/temp/,
// which is then emptied for the next case.
void ExpectFailedWithTemplateUntouched(int code, int expected, Left left, const Rewrite& rewrite) {
  EXPECT_EQ(code, expected);
  EXPECT_EQ(ReadFile("t.html"), kItemTemplate);
  std::vector<std::string> temps = testing::TakeTempTexts();
  for (std::string& temp : temps) temp = testing::FoldLineFeeds(temp);
  std::vector<std::string> wanted;
  if (left != Left::kNothing) {
    wanted.push_back(left == Left::kEmptyTemp ? "" : testing::NewText(rewrite, kItemTemplate));
  }
  EXPECT_EQ(temps, wanted);
}

TEST_F(RewriteCycleTest, TempFileNeverTakesAnExistingName) {
  std::vector<std::string> names;
  std::srand(7);
  for (int draw = 0; draw < kMaxTempNameDraws; ++draw) {
    names.push_back(std::string(kTempDirectory) + std::to_string(std::rand()) + ".html");
  }
  for (int taken = 0; taken < 3; ++taken) WriteFile(names[taken], "someone else's");
  {
    std::srand(7);
    TempFile temp;
    ASSERT_EQ(temp.Create(), kOk);
    EXPECT_EQ(temp.path(), names[3]);
  }
  for (const std::string& name : names) WriteFile(name, "someone else's");
  WriteFile("t.html", kItemTemplate);
  ZRTHtmlFile file("t.html");
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kTempExists);
  EXPECT_EQ(ReadFile("t.html"), kItemTemplate);
  EXPECT_EQ(TempFiles().size(), names.size());
  for (const std::string& name : names) EXPECT_EQ(ReadFile(name), "someone else's");
}

TEST_F(RewriteCycleTest, TemplateUsesCrLfLooksAtTheFirstLineEnd) {
  const std::pair<std::string, bool> cases[] = {{"", false},
                                                {"no line end", false},
                                                {"a\r\nb\n", true},
                                                {"a\nb\r\n", false},
                                                {std::string(4095, 'x') + "\r\n", true}};
  for (const auto& [text, crlf] : cases) {
    SCOPED_TRACE(text.substr(0, 12));
    WriteFile("t.html", text);
    EXPECT_EQ(TemplateUsesCrLf("t.html"), crlf);
  }
}

TEST_F(RewriteCycleTest, CopyBackFoldsLineFeedsAndWritesCrLf) {
  const std::string long_line(70000, 'x');
  struct Case {
    std::string temp_text;
    bool fold;
    bool crlf;
    std::string expected;
  } cases[] = {
      {"a\n\n\nb\n", true, false, "a\nb\n"},
      {"a\n\n\nb\n", false, false, "a\n\n\nb\n"},
      {"\n\na\n\nb", true, true, "\r\na\r\nb"},
      {"a\r\nb\n", false, true, "a\r\nb\r\n"},
      {"", true, false, ""},
      {long_line + "\n\n" + long_line, true, false, long_line + "\n" + long_line},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.temp_text.substr(0, 12));
    WriteFile("t.html", "an old text longer than some new ones\n");
    {
      TempFile temp;
      ASSERT_EQ(temp.Create(), kOk);
      temp.Write(c.temp_text.data(), c.temp_text.size());
      ASSERT_EQ(temp.FinishWriting(), kOk);
      ASSERT_EQ(temp.OpenForReading(), kOk);
      EXPECT_EQ(CopyBack(temp, "t.html", c.fold, c.crlf), kOk);
    }
    EXPECT_EQ(ReadFile("t.html"), c.expected);
    EXPECT_TRUE(TempFiles().empty());
  }
  // A copy back that fails keeps the temporary file.
  TempFile temp;
  ASSERT_EQ(temp.Create(), kOk);
  temp.Write("new text", 8);
  ASSERT_EQ(temp.FinishWriting(), kOk);
  ASSERT_EQ(temp.OpenForReading(), kOk);
  EXPECT_EQ(CopyBack(temp, "/dev/full", true, false), kTemplateDiskFull);
  EXPECT_EQ(ReadFile(temp.path()), "new text");
}

TEST_F(RewriteCycleTest, RewriteKeepsTheTemplatesInodeModeLinksAndCrLf) {
  WriteFile("t.html", kItemTemplate);
  ASSERT_EQ(::chmod("t.html", 0640), 0);
  ASSERT_EQ(::link("t.html", "link.html"), 0);
  struct stat before;
  struct stat after;
  ASSERT_EQ(::stat("t.html", &before), 0);
  ASSERT_EQ(ZRTHtmlFile("t.html").SetZRTViewName("N"), kOk);
  ASSERT_EQ(::stat("t.html", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(ReadFile("link.html"), ReadFile("t.html"));
  EXPECT_NE(ReadFile("t.html").find("<title>N</title>"), std::string::npos);

  WriteFile("t.html", "<p>\r\n<S>old</S>\r\n</p>\r\n");
  ASSERT_EQ(ZRTHtmlFile("t.html").dumpZRTTagContent("S", "a\r\nb"), kOk);
  EXPECT_EQ(ReadFile("t.html"), "<p>\r\n<!--S-->a\r\nb<!--/S-->\r\n</p>");
}

TEST_F(RewriteCycleTest, FailuresBeforeTheTempFileLeaveEverythingAsItWas) {
  ZRTHtmlFile unbound;
  ASSERT_EQ(::mkdir("dir.html", 0777), 0);
  WriteFile("locked.html", kItemTemplate);
  ASSERT_EQ(::chmod("locked.html", 0), 0);
  for (const Rewrite& rewrite : ItemRewrites()) {
    SCOPED_TRACE(rewrite.label);
    EXPECT_EQ(rewrite.run(unbound), kTemplateMissing);
    ZRTHtmlFile missing("missing.html");
    EXPECT_EQ(rewrite.run(missing), kTemplateMissing);
    EXPECT_FALSE(testing::FileExists("missing.html"));
    ZRTHtmlFile directory("dir.html");
    EXPECT_EQ(rewrite.run(directory), kOpenFailed);
    EXPECT_EQ(testing::RunUnprivileged([&] {
                ZRTHtmlFile locked("locked.html");
                return rewrite.run(locked);
              }),
              kTemplateUnreadable);
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(RewriteCycleTest, MissingTempDirectoryGives3AndUnwritableTemplateGives8) {
  WriteFile("t.html", kItemTemplate);
  ASSERT_EQ(::chmod("t.html", 0444), 0);
  for (const Rewrite& rewrite : ItemRewrites()) {
    SCOPED_TRACE(rewrite.label);
    const int code = testing::RunUnprivileged([&] {
      ZRTHtmlFile file("t.html");
      return rewrite.run(file);
    });
    ExpectFailedWithTemplateUntouched(code, kTemplateNotWritable, Left::kTempWithNewText, rewrite);
  }
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  for (const Rewrite& rewrite : ItemRewrites()) {
    SCOPED_TRACE(rewrite.label);
    ZRTHtmlFile file("t.html");
    EXPECT_EQ(rewrite.run(file), kTempNotWritable);
    EXPECT_EQ(ReadFile("t.html"), kItemTemplate);
  }
}

TEST_F(RewriteCycleTest, FullTempDiskGives5AndTracesForTagContentAndDump) {
  WriteFile("t.html", kItemTemplate);
  const std::string messages[] = {"", "disk full : ZRTHtmlFile::SetZRTTagContent ...\n",
                                  "Disk full : ZRTHtmlFile::dump ...\n", ""};
  // No byte free after the scan and a failed free-space query find the new text written whole;
  // a write that runs out of space leaves nothing in it.
  const std::pair<const char*, Left> cases[] = {{"statvfs_zero=c:/temp/", Left::kTempWithNewText},
                                                {"statvfs_fail=c:/temp/", Left::kTempWithNewText},
                                                {"write_enospc=c:/temp/", Left::kEmptyTemp}};
  for (const auto& [faults, left] : cases) {
    for (std::size_t index = 0; index < ItemRewrites().size(); ++index) {
      SCOPED_TRACE(std::string(faults) + " " + ItemRewrites()[index].label);
      const int code = testing::RunWithFaults(faults, ItemRewrites()[index], "t.html", "err.txt");
      ExpectFailedWithTemplateUntouched(code, kTempDiskFull, left, ItemRewrites()[index]);
      EXPECT_EQ(ReadFile("err.txt"), messages[index]);
    }
  }
}

TEST_F(RewriteCycleTest, FailuresAfterTheScanKeepTheTemplateAndLeaveTheTempFile) {
  WriteFile("t.html", kItemTemplate);
  const Rewrite& tag = ItemRewrites()[1];
  struct Case {
    const char* faults;
    int expected;
    Left left;
  } cases[] = {
      {"write_eio=c:/temp/", kOpenFailed, Left::kEmptyTemp},
      // The temporary file is gone before it is read back: nothing is left to keep.
      {"open_read_vanish=c:/temp/", kTempVanished, Left::kNothing},
      {"open_read_deny=c:/temp/", kTempUnreadable, Left::kTempWithNewText},
      {"open_write_eio=t.html;statvfs_zero=t.html", kTemplateDiskFull, Left::kTempWithNewText},
      {"open_write_eio=t.html", kOpenFailed, Left::kTempWithNewText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    const int code = testing::RunWithFaults(c.faults, tag, "t.html", "err.txt");
    ExpectFailedWithTemplateUntouched(code, c.expected, c.left, tag);
    EXPECT_EQ(ReadFile("err.txt"), "");
  }
  // A failed write into the template keeps the new text in the temporary file.
  EXPECT_EQ(testing::RunWithFaults("write_eio=t.html", tag, "t.html"), kOpenFailed);
  std::vector<std::string> temps = testing::TakeTempTexts();
  ASSERT_EQ(temps.size(), 1u);
  EXPECT_NE(temps[0].find("<!--S-->C<BR><!--/S-->"), std::string::npos);
}

TEST_F(RewriteCycleTest, TwoProcessesRewritingAtOnceKeepTheirTexts) {
  // Each process fills its own template; both draw the same temporary names.
  auto rewrite_many = [](const std::string& path, const std::string& content) {
    int wrong = 0;
    for (int round = 0; round < 200; ++round) {
      WriteFile(path, "<S>old</S>\n");
      ZRTHtmlFile file(path.c_str());
      std::srand(1);
      if (file.SetZRTTagContent("S", content.c_str()) != kOk ||
          ReadFile(path) != "<!--S-->" + content + "<BR><!--/S-->") {
        ++wrong;
      }
    }
    return wrong;
  };
  std::fflush(nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(rewrite_many("b.html", "from b") == 0 ? 0 : 1);
  EXPECT_EQ(rewrite_many("a.html", "from a"), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace zrtmask
