// The item rewrite cycle: the temporary file, the copy back, and every result code of a rewrite
// with the template left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "template/pipeline.h"
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
    names.push_back("c:/temp/" + std::to_string(std::rand()) + ".html");
  }
  WriteFile("t.html", kItemTemplate);
  ZRTHtmlFile file("t.html");
  for (std::size_t taken = 0; taken < 3; ++taken) WriteFile(names[taken], "someone else's");
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kOk);
  EXPECT_EQ(TempFiles().size(), 3u);
  for (const std::string& name : names) WriteFile(name, "someone else's");
  WriteFile("t.html", kItemTemplate);
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kTempExists);
  EXPECT_EQ(ReadFile("t.html"), kItemTemplate);
  EXPECT_EQ(TempFiles().size(), names.size());
  for (const std::string& name : names) EXPECT_EQ(ReadFile(name), "someone else's");
}

// The sink folds runs of line feeds across the pieces the writer hands it, and follows the
// template's first line end, which may lie past the first block read.
TEST_F(RewriteCycleTest, NewTextHasFoldedLineFeedsInTheTemplatesConvention) {
  const std::string long_line(70000, 'x');
  const std::string block(4095, 'x');
  struct Case {
    std::string template_text;
    std::string content;
    std::string expected;
  } cases[] = {
      {"<S></S>", "a\n\n\nb\n", "<!--S-->a\nb\n<!--/S-->"},
      {"<S></S>", long_line + "\n\n" + long_line, "<!--S-->" + long_line + "\n" + long_line + "<!--/S-->"},
      {block + "\r\n<S></S>", "\n\na\n\nb", block + "\r\n<!--S-->\r\na\r\nb<!--/S-->"},
      {block + "\n\r\n<S></S>", "a\r\nb", block + "\n<!--S-->a\r\nb<!--/S-->"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 12));
    WriteFile("t.html", c.template_text);
    EXPECT_EQ(ZRTHtmlFile("t.html").dumpZRTTagContent("S", c.content.c_str()), kOk);
    EXPECT_TRUE(ReadFile("t.html") == c.expected);
    EXPECT_TRUE(TempFiles().empty());
  }
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
  ASSERT_EQ(::mkdir("other", 0777), 0);
  for (const Rewrite& rewrite : ItemRewrites()) {
    SCOPED_TRACE(rewrite.label);
    ZRTHtmlFile file("t.html");
    EXPECT_EQ(rewrite.run(file), kTempNotWritable);
    EXPECT_EQ(ReadFile("t.html"), kItemTemplate);
    // ZRTMASK_TEMP_DIR, when not empty, names the directory instead; it must exist too.
    for (const char* directory : {"other", "other/", "missing"}) {
      ::setenv("ZRTMASK_TEMP_DIR", directory, 1);
      EXPECT_EQ(testing::RunWithFaults({{Call::kUnlink, "other/", EBUSY}}, rewrite, "t.html"),
                directory[0] == 'o' ? kOk : kTempNotWritable);
    }
    ::setenv("ZRTMASK_TEMP_DIR", "", 1);
    EXPECT_EQ(rewrite.run(file), kTempNotWritable);
    ::unsetenv("ZRTMASK_TEMP_DIR");
    EXPECT_EQ(testing::ListDirectory("other").size(), 2u);
    for (const std::string& name : testing::ListDirectory("other")) ::unlink(("other/" + name).c_str());
    WriteFile("t.html", kItemTemplate);
  }
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
