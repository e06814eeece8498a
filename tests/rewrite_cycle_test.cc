// The item rewrite cycle: the temporary file, the copy back, and every result code of a rewrite
// with the template left as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "template/temp_file.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class RewriteCycleTest : public testing::ScratchDirTest {};

// A template in which each of the four rewrites has something to change.
constexpr char kTemplate[] =
    "<html>\n<ZRTViewName><title>t</title></ZRTViewName>\n<S>old</S>\n"
    "<ZRTImage><img src=a></ZRTImage>\n</html>\n";

struct Operation {
  const char* label;
  std::function<int(ZRTHtmlFile&)> run;
  std::vector<std::string> runner_arguments;  // for zrtmask_fault_runner, after the template
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"view", [](ZRTHtmlFile& file) { return file.SetZRTViewName("N"); }, {"view", "N"}},
      {"tag", [](ZRTHtmlFile& file) { return file.SetZRTTagContent("S", "C"); }, {"tag", "S", "C"}},
      {"dump",
       [](ZRTHtmlFile& file) { return file.dumpZRTTagContent("S", "C"); },
       {"dump", "S", "C"}},
      {"image",
       [](ZRTHtmlFile& file) { return file.SetZRTImageName("i", 1, 2); },
       {"image", "i", "1", "2"}},
  };
  return operations;
}

struct ChildResult {
  int code = -1;
  std::string errors;  // what the child wrote to standard error
};

// Runs one rewrite of template_path in a child process with the fault shim preloaded and
// ZRTMASK_FAULTS set to faults.
ChildResult RunWithFaults(const std::string& faults, const std::string& template_path,
                          const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {ZRTMASK_FAULT_RUNNER, arguments[0], template_path};
  words.insert(words.end(), arguments.begin() + 1, arguments.end());
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    int errors = ::open("runner-errors.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errors < 0 || ::dup2(errors, 2) < 0) ::_exit(126);
    ::setenv("LD_PRELOAD", ZRTMASK_FAULT_SHIM, 1);
    ::setenv("ZRTMASK_FAULTS", faults.c_str(), 1);
    // Under AddressSanitizer the preloaded shim comes before the sanitizer's runtime.
    ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ChildResult result;
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return result;
  result.code = WEXITSTATUS(status);
  result.errors = ReadFile("runner-errors.txt");
  return result;
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
  WriteFile("t.html", kTemplate);
  ZRTHtmlFile file("t.html");
  std::srand(7);
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kTempExists);
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
  EXPECT_EQ(TempFiles().size(), names.size());
  for (const std::string& name : names) EXPECT_EQ(ReadFile(name), "someone else's");
}

TEST_F(RewriteCycleTest, TemplateUsesCrLfLooksAtTheFirstLineEnd) {
  struct Case {
    std::string text;
    bool crlf;
  } cases[] = {{"", false},
               {"no line end", false},
               {"a\r\nb\n", true},
               {"a\nb\r\n", false},
               {std::string(4095, 'x') + "\r\n", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 12));
    WriteFile("t.html", c.text);
    EXPECT_EQ(TemplateUsesCrLf("t.html"), c.crlf);
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
}

TEST_F(RewriteCycleTest, FailedCopyBackKeepsTheTempFile) {
  TempFile temp;
  ASSERT_EQ(temp.Create(), kOk);
  temp.Write("new text", 8);
  ASSERT_EQ(temp.FinishWriting(), kOk);
  ASSERT_EQ(temp.OpenForReading(), kOk);
  EXPECT_EQ(CopyBack(temp, "/dev/full", true, false), kTemplateDiskFull);
  EXPECT_EQ(ReadFile(temp.path()), "new text");
}

TEST_F(RewriteCycleTest, RewriteKeepsTheTemplatesInodeModeAndLinks) {
  WriteFile("t.html", kTemplate);
  ASSERT_EQ(::chmod("t.html", 0640), 0);
  ASSERT_EQ(::link("t.html", "link.html"), 0);
  struct stat before;
  ASSERT_EQ(::stat("t.html", &before), 0);
  ZRTHtmlFile file("t.html");
  ASSERT_EQ(file.SetZRTViewName("N"), kOk);
  struct stat after;
  ASSERT_EQ(::stat("t.html", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(ReadFile("link.html"), ReadFile("t.html"));
  EXPECT_NE(ReadFile("t.html").find("<title>N</title>"), std::string::npos);
}

TEST_F(RewriteCycleTest, CrLfTemplateKeepsCrLf) {
  WriteFile("t.html", "<p>\r\n<S>old</S>\r\n</p>\r\n");
  ZRTHtmlFile file("t.html");
  ASSERT_EQ(file.dumpZRTTagContent("S", "a\r\nb"), kOk);
  EXPECT_EQ(ReadFile("t.html"), "<p>\r\n<!--S-->a\r\nb<!--/S-->\r\n</p>");
}

// What a failed rewrite leaves in c:/temp/.
enum class Left {
  kNothing,          // no temporary file: the rewrite failed before creating it, or it vanished
  kEmptyTemp,        // one empty temporary file: no write into it succeeded
  kTempWithNewText,  // one temporary file holding the whole new text, line feeds not yet folded
};

// The text that operation gives kTemplate when nothing fails.
std::string NewText(const Operation& operation) {
  WriteFile("clean.html", kTemplate);
  ZRTHtmlFile file("clean.html");
  EXPECT_EQ(operation.run(file), kOk);
  std::string text = ReadFile("clean.html");
  ::unlink("clean.html");
  EXPECT_NE(text, kTemplate);
  return text;
}

std::string FoldLineFeeds(const std::string& text) {
  std::string folded;
  for (char byte : text) {
    if (byte == '\n' && !folded.empty() && folded.back() == '\n') continue;
    folded += byte;
  }
  return folded;
}

// Checks a failed operation: its code, the template byte for byte, and what it left in
// c:/temp/, which is then emptied for the next case.
void ExpectFailedWithTemplateUntouched(int code, int expected, Left left,
                                       const std::string& new_text) {
  EXPECT_EQ(code, expected);
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
  const std::vector<std::string> temps = testing::ListDirectory("c:/temp");
  if (left == Left::kNothing) {
    EXPECT_TRUE(temps.empty());
  } else {
    ASSERT_EQ(temps.size(), 1u);
    const std::string temp_text = ReadFile(std::string(kTempDirectory) + temps[0]);
    EXPECT_EQ(FoldLineFeeds(temp_text), left == Left::kEmptyTemp ? "" : new_text);
  }
  for (const std::string& temp : temps) ::unlink((std::string(kTempDirectory) + temp).c_str());
}

TEST_F(RewriteCycleTest, FailuresBeforeTheTempFileLeaveEverythingAsItWas) {
  ZRTHtmlFile unbound;
  ASSERT_EQ(::mkdir("dir.html", 0777), 0);
  WriteFile("locked.html", kTemplate);
  ASSERT_EQ(::chmod("locked.html", 0), 0);
  for (const Operation& operation : Operations()) {
    SCOPED_TRACE(operation.label);
    EXPECT_EQ(operation.run(unbound), kTemplateMissing);
    ZRTHtmlFile missing("missing.html");
    EXPECT_EQ(operation.run(missing), kTemplateMissing);
    EXPECT_FALSE(testing::FileExists("missing.html"));
    ZRTHtmlFile directory("dir.html");
    EXPECT_EQ(operation.run(directory), kOpenFailed);
    EXPECT_EQ(testing::RunUnprivileged([&] {
                ZRTHtmlFile locked("locked.html");
                return operation.run(locked);
              }),
              kTemplateUnreadable);
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(RewriteCycleTest, MissingTempDirectoryGives3) {
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  WriteFile("t.html", kTemplate);
  for (const Operation& operation : Operations()) {
    SCOPED_TRACE(operation.label);
    ZRTHtmlFile file("t.html");
    EXPECT_EQ(operation.run(file), kTempNotWritable);
    EXPECT_EQ(ReadFile("t.html"), kTemplate);
  }
}

TEST_F(RewriteCycleTest, UnwritableTemplateGives8) {
  WriteFile("t.html", kTemplate);
  ASSERT_EQ(::chmod("t.html", 0444), 0);
  for (const Operation& operation : Operations()) {
    SCOPED_TRACE(operation.label);
    const std::string new_text = NewText(operation);
    int code = testing::RunUnprivileged([&] {
      ZRTHtmlFile file("t.html");
      return operation.run(file);
    });
    ExpectFailedWithTemplateUntouched(code, kTemplateNotWritable, Left::kTempWithNewText, new_text);
  }
}

TEST_F(RewriteCycleTest, FullTempDiskGives5AndTracesForTagContentAndDump) {
  WriteFile("t.html", kTemplate);
  const std::string tag_message = "disk full : ZRTHtmlFile::SetZRTTagContent ...\n";
  const std::string dump_message = "Disk full : ZRTHtmlFile::dump ...\n";
  const std::string messages[] = {"", tag_message, dump_message, ""};
  // No byte free after the scan and a failed free-space query find the new text written whole;
  // a write that runs out of space leaves nothing in it.
  const struct {
    const char* faults;
    Left left;
  } cases[] = {{"statvfs_zero=c:/temp/", Left::kTempWithNewText},
               {"statvfs_fail=c:/temp/", Left::kTempWithNewText},
               {"write_enospc=c:/temp/", Left::kEmptyTemp}};
  for (const auto& c : cases) {
    for (std::size_t index = 0; index < Operations().size(); ++index) {
      SCOPED_TRACE(std::string(c.faults) + " " + Operations()[index].label);
      const std::string new_text = NewText(Operations()[index]);
      ChildResult result = RunWithFaults(c.faults, "t.html", Operations()[index].runner_arguments);
      ExpectFailedWithTemplateUntouched(result.code, kTempDiskFull, c.left, new_text);
      EXPECT_EQ(result.errors, messages[index]);
    }
  }
}

TEST_F(RewriteCycleTest, FailuresAfterTheScanKeepTheTemplateAndLeaveTheTempFile) {
  const std::string new_text = NewText(Operations()[1]);
  WriteFile("t.html", kTemplate);
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
    ChildResult result = RunWithFaults(c.faults, "t.html", Operations()[1].runner_arguments);
    ExpectFailedWithTemplateUntouched(result.code, c.expected, c.left, new_text);
    EXPECT_EQ(result.errors, "");
  }
}

TEST_F(RewriteCycleTest, FailedWriteIntoTheTemplateKeepsTheNewText) {
  WriteFile("t.html", kTemplate);
  ChildResult result =
      RunWithFaults("write_eio=t.html", "t.html", Operations()[1].runner_arguments);
  EXPECT_EQ(result.code, kOpenFailed);
  std::vector<std::string> temps = TempFiles();
  ASSERT_EQ(temps.size(), 1u);
  EXPECT_NE(ReadFile(std::string(kTempDirectory) + temps[0]).find("<!--S-->C<BR><!--/S-->"),
            std::string::npos);
}

TEST_F(RewriteCycleTest, TwoProcessesRewritingAtOnceKeepTheirTexts) {
  constexpr int kRounds = 200;
  // Each process fills its own template; both draw the same temporary names.
  auto rewrite_many = [](const std::string& path, const std::string& content) {
    int wrong = 0;
    for (int round = 0; round < kRounds; ++round) {
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
