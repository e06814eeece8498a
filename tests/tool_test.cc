// The command-line contract of the zrtmask tool: output streams, exit statuses, standard input,
// dry runs and backups. The tool runs as a child process in the test's scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/test_support.h"
#include "zrtmask_module.h"

// Without the tool in the build there is nothing to test here.
#ifdef ZRTMASK_TOOL_PATH

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

struct ToolRun {
  int status = -1;  // exit status, 128 + signal when killed, -1 when it could not be run
  std::string out;
  std::string err;
};

// Reads what was written to the anonymous file stream.
std::string Drain(std::FILE* stream) {
  std::string text;
  char buffer[4096];
  std::rewind(stream);
  for (size_t count; (count = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
    text.append(buffer, count);
  }
  std::fclose(stream);
  return text;
}

// Runs the tool at tool_path with args, input (which fits a pipe's buffer) on its standard input
// and variables added to its environment. Uses no test assertions, so that a forked child may
// call it too.
ToolRun RunToolAt(const std::string& tool_path, std::vector<std::string> args,
                  const std::string& input, const std::vector<std::string>& environment) {
  ToolRun run;
  int in_pipe[2];
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr || ::pipe(in_pipe) != 0 ||
      ::write(in_pipe[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    return run;
  }
  ::close(in_pipe[1]);
  args.insert(args.begin(), tool_path);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    ::dup2(in_pipe[0], STDIN_FILENO);
    ::dup2(::fileno(out), STDOUT_FILENO);
    ::dup2(::fileno(err), STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = Drain(out);
  run.err = Drain(err);
  return run;
}

ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = "") {
  return RunToolAt(ZRTMASK_TOOL_PATH, args, input, {});
}

std::string Describe(const std::vector<std::string>& args) {
  std::string text = "zrtmask";
  for (const std::string& arg : args) text += " [" + arg + "]";
  return text;
}

// A template with every kind of marker, one a line.
constexpr char kTemplate[] =
    "<html>\n<head><ZRTViewName><title>Sales &lt;Q1&gt;</title></ZRTViewName></head>\n<body>\n"
    "<ZRTPath><SYS path=\"reports/q1\"></ZRTPath>\n<ZRTSummary>one<br>two</ZRTSummary>\n"
    "<ZRTImage><img src=\"old.png\" width=1 height=2></ZRTImage>\n"
    "<QLXSTART>\n<QLXANNOT>\n<QLXURL>\n<QLXDBACCESS>\n</body>\n</html>\n";

// Every rewriting subcommand, with operands for kTemplate written to t.html.
const std::vector<std::vector<std::string>> kRewrites = {
    {"set-view-name", "t.html", "Q2 <final>"}, {"set-tag", "t.html", "ZRTSummary", "a\nb"},
    {"dump", "t.html", "ZRTSummary", "<b>x</b>"}, {"set-image", "t.html", "new.png", "10", "20"},
    {"set-start", "t.html", "s"}, {"set-annotations", "t.html", "a"}, {"set-url", "t.html", "u"},
    {"set-dbaccess", "t.html", "d"}, {"copy-mask", "t.html", "mask.html"}};

class ToolTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile("t.html", kTemplate);
    WriteFile("mask.html", "<p>mask</p>\n");
  }
};

// The run's exit status and its two streams, as one line.
std::string Outcome(const ToolRun& run) {
  return std::to_string(run.status) + " out[" + run.out + "] err[" + run.err + "]";
}

// The contract as one table: a command line and its standard input; the exit status, standard
// output and standard error (each exact, or "~text": containing text), and a piece of t.html
// afterwards ("" for unchanged). Each case runs on fresh files.
TEST_F(ToolTest, CommandLinesGiveTheirStatusAndOutput) {
  const std::string scanned =
      "1\tTAG\tp\n1\tATTRIBUTE\tid\n1\tVALUE\ta\\\\b\\x01\n1\tATTRIBUTE\t\n"
      "2\tTEXT\tx\\ty\\n\n2\tTAG\t/p\n2\tCOMMENT\t-c-\n3\tTEXT\t\\n\n3\tTAG\ti\n";
  const std::string tags_and_comments = "1\tTAG\tp\n2\tTAG\t/p\n2\tCOMMENT\t-c-\n3\tTAG\ti\n";
  const std::string none = "zrtmask: none.html: template does not exist\n";
  const std::string unclosed = ":2: a marker region or title is not closed; template left unchanged\n";
  const std::string tags = "ZRTViewName\nZRTPath\nZRTSummary\nZRTImage\n";
  const std::string filled = "<!--ZRTSummary-->one<BR>two<BR><!--/ZRTSummary-->";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err, piece;
  } const cases[] = {
      {{"view-name", "t.html"}, "", 0, "Sales <Q1>\n", "", ""},
      {{"tag", "t.html", "ZRTSummary"}, "", 0, "one\ntwo\n", "", ""},
      {{"tag", "t.html", "ZRTNothing"}, "", 0, "\n", "", ""},
      {{"path", "t.html"}, "", 0, "reports/q1\n", "", ""},
      {{"tags", "t.html"}, "", 0, tags, "", ""},
      {{"tags", "-"}, kTemplate, 0, tags, "", ""},
      {{"scan", "s.html"}, "", 0, scanned, "", ""},
      {{"scan", "--types", "63", "s.html"}, "", 0, scanned, "", ""},
      {{"scan", "--types", "9", "s.html"}, "", 0, tags_and_comments, "", ""},
      {{"scan", "--types", "Tag,comment", "s.html"}, "", 0, tags_and_comments, "", ""},
      {{"set-view-name", "t.html", "Q2 <final>"}, "", 0, "", "", "<title>Q2 &lt;final&gt;</title>"},
      {{"set-tag", "t.html", "ZRTSummary", "a\nb"}, "", 0, "", "", "<!--ZRTSummary-->a<BR>b<BR><!--/ZRTSummary-->"},
      {{"dump", "t.html", "ZRTSummary", "<b>x</b>"}, "", 0, "", "", "<!--ZRTSummary--><b>x</b><!--/ZRTSummary-->"},
      {{"set-image", "t.html", "new.png", "10", "20"}, "", 0, "", "",
       "<!--ZRTImage--><img src=\"new.png\" width=\"10\" height=\"20\"><!--/ZRTImage-->"},
      {{"set-start", "t.html", "s"}, "", 0, "", "", "<QLXSTART>\ns\n"},
      {{"set-annotations", "t.html", "a"}, "", 0, "", "", "<QLXANNOT>\na\n"},
      {{"set-url", "t.html", "u"}, "", 0, "", "", "<QLXURL>\nu\n"},
      {{"set-dbaccess", "t.html", "d"}, "", 0, "", "", "<QLXDBACCESS>\nd\n"},
      {{"copy-mask", "t.html", "mask.html"}, "", 0, "", "", "<p>mask</p>\n"},
      {{"copy-mask", "t.html", "-"}, "<i>in</i>\n", 0, "", "", "<i>in</i>\n"},
      // One final line feed of a value read from a stream belongs to the stream.
      {{"set-tag", "t.html", "ZRTSummary", "-"}, "one\ntwo\n", 0, "", "", filled},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "-"}, "one\ntwo", 0, "", "", filled},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "v.txt"}, "", 0, "", "", filled},
      {{"set-tag", "--temp-dir", "elsewhere", "t.html", "ZRTSummary", "x"}, "", 0, "", "", "<!--ZRTSummary-->x<BR>"},
      // Failures: the result code, and the file named.
      {{"scan", "none.html"}, "", 2, "", none, ""},
      {{"view-name", "none.html"}, "", 2, "", none, ""},
      {{"set-tag", "none.html", "ZRTSummary", "x"}, "", 2, "", none, ""},
      {{"set-tag", "--dry-run", "none.html", "ZRTSummary", "x"}, "", 2, "", none, ""},
      {{"scan", "."}, "", 15, "", "zrtmask: .: open or write failed\n", ""},
      {{"copy-mask", "t.html", "nomask.html"}, "", 22, "", "zrtmask: nomask.html: mask file does not exist\n", ""},
      {{"set-tag", "open.html", "ZRTSummary", "x"}, "", 10, "", "zrtmask: open.html" + unclosed, ""},
      {{"set-tag", "--dry-run", "open.html", "ZRTSummary", "x"}, "", 10, "", "zrtmask: open.html" + unclosed, ""},
      {{"set-view-name", "title.html", "x"}, "", 10, "", "zrtmask: title.html" + unclosed, ""},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "novalue.txt"}, "", 66, "",
       "zrtmask: novalue.txt: No such file or directory\n", ""},
      {{"set-start", "--temp-dir", "gone", "t.html", "x"}, "", 8, "", "~gone", ""},
      // Usage errors: 64, a message on standard error.
      {{}, "", 64, "", "~zrtmask: ", ""},
      {{"frobnicate", "t.html"}, "", 64, "", "~zrtmask: ", ""},
      {{"--no-such-option"}, "", 64, "", "~zrtmask: ", ""},
      {{"tag", "t.html"}, "", 64, "", "~zrtmask: ", ""},
      {{"tags", "t.html", "extra"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-image", "t.html", "a.png", "wide", "10"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-image", "t.html", "a.png", "99999999999", "10"}, "", 64, "", "~zrtmask: ", ""},
      {{"scan", "--types", "bogus", "t.html"}, "", 64, "", "~zrtmask: ", ""},
      {{"scan", "--types", "64", "t.html"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-tag", "-", "ZRTSummary", "x"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-tag", "t.html", "ZRTSummary"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-tag", "t.html", "ZRTSummary", "x", "--text-file", "v.txt"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-tag", "--dry-run", "--backup", "t.html", "ZRTSummary", "x"}, "", 64, "", "~zrtmask: ", ""},
      {{"set-tag", "--diff", "--backup=.orig", "t.html", "ZRTSummary", "x"}, "", 64, "", "~zrtmask: ", ""},
      // Help and version on standard output.
      {{"--help"}, "", 0, "~Usage: zrtmask", "", ""},
      {{"set-tag", "--help"}, "", 0, "~Usage: zrtmask", "", ""},
      {{"scan", "-h"}, "", 0, "~Usage: zrtmask", "", ""},
      {{"--version"}, "", 0, "zrtmask " ZRTMASK_VERSION_STRING "\n", "", ""},
  };
  const auto matches = [](const std::string& actual, const std::string& expected) {
    return expected.rfind('~', 0) == 0 ? actual.find(expected.substr(1)) != std::string::npos
                                       : actual == expected;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.args));
    WriteFile("t.html", kTemplate);
    WriteFile("s.html", "<p id=\"a\\b\x01\">x\ty\n</p><!--c-->\n<i>\n");
    WriteFile("v.txt", "one\ntwo\n");
    WriteFile("open.html", "<a>\n<ZRTSummary>never closed\n<b>x</b>\n");
    WriteFile("title.html", "<ZRTViewName>\n<title>never closed\n<p>x</p>\n");
    ::mkdir("elsewhere", 0700);
    const ToolRun run = RunTool(c.args, c.input);
    EXPECT_TRUE(run.status == c.status && matches(run.out, c.out) && matches(run.err, c.err)) << Outcome(run);
    const std::string after = ReadFile("t.html");
    EXPECT_TRUE(c.piece.empty() ? after == kTemplate : after.find(c.piece) != std::string::npos) << after;
    EXPECT_EQ(ReadFile("open.html"), "<a>\n<ZRTSummary>never closed\n<b>x</b>\n");
    EXPECT_EQ(::access("none.html", 0), -1);
    EXPECT_EQ(testing::ListDirectory("c:/temp"), std::vector<std::string>{});
  }
}

TEST_F(ToolTest, MissingTempDirectoryIsNamedByItsFullPath) {
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  const std::string err =
      "zrtmask: t.html: temporary file cannot be created in c:/temp/: the directory " + scratch() +
      "/c:/temp/ does not exist (it is never created for you)\n";
  // An item rewrite answers 3; a marker rewrite answers 8 for the same cause.
  EXPECT_EQ(Outcome(RunTool({"set-tag", "t.html", "ZRTSummary", "x"})), "3 out[] err[" + err + "]");
  EXPECT_EQ(Outcome(RunTool({"set-start", "t.html", "x"})), "8 out[] err[" + err + "]");
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
  // A mask is copied straight over the template; a dry run brings its own directory.
  EXPECT_EQ(RunTool({"set-start", "--dry-run", "t.html", "x"}).status, 0);
  EXPECT_EQ(Outcome(RunTool({"copy-mask", "t.html", "mask.html"})), "0 out[] err[]");
}

TEST_F(ToolTest, UnprivilegedUserGetsOneForUnreadableAndEightForReadOnly) {
  // The child drops root, so it runs copies of the tool and the library from the scratch
  // directory: the build tree may lie where an unprivileged user cannot go.
  ASSERT_EQ(::mkdir("bin", 0755), 0);
  const std::string bin = scratch() + "/bin";
  const std::filesystem::path library = ZRTMASK_LIBRARY_PATH;
  std::filesystem::copy_file(ZRTMASK_TOOL_PATH, bin + "/zrtmask");
  std::filesystem::copy_file(library, bin + "/" + library.filename().string());
  ASSERT_EQ(::chmod((bin + "/zrtmask").c_str(), 0755), 0);
  ASSERT_EQ(::chmod((bin + "/" + library.filename().string()).c_str(), 0755), 0);
  const std::string unreadable = "zrtmask: t.html: template is not readable\n";
  const std::vector<std::string> set_tag = {"set-tag", "t.html", "ZRTSummary", "x"};
  const std::tuple<mode_t, std::vector<std::string>, int, std::string> cases[] = {
      {0200, {"view-name", "t.html"}, 1, unreadable},
      {0200, set_tag, 1, unreadable},
      {0444, set_tag, 8, "zrtmask: t.html: template cannot be opened for writing\n"},
  };
  for (const auto& [mode, args, code, message] : cases) {
    SCOPED_TRACE(Describe(args));
    ASSERT_EQ(::chmod("t.html", mode), 0);
    int status = testing::RunInChild([&, &args = args] {
      ToolRun run = RunToolAt(bin + "/zrtmask", args, "", {"LD_LIBRARY_PATH=" + bin});
      std::FILE* err = std::fopen("err.txt", "w");
      if (err == nullptr) return 254;
      std::fputs(run.err.c_str(), err);
      std::fclose(err);
      return run.status;
    }, true);
    EXPECT_EQ(status, code);
    EXPECT_EQ(ReadFile("err.txt"), message);
    ASSERT_EQ(::chmod("t.html", 0644), 0);
    EXPECT_EQ(ReadFile("t.html"), kTemplate);
  }
}

TEST_F(ToolTest, DryRunPrintsWhatARealRunWritesAndLeavesTheTemplate) {
  // The template with CR LF line ends, which a rewrite keeps.
  std::string crlf;
  for (const char* c = kTemplate; *c != '\0'; ++c) crlf += *c == '\n' ? "\r\n" : std::string(1, *c);
  for (const std::string& original : {std::string(kTemplate), crlf}) {
    for (std::vector<std::string> args : kRewrites) {
      SCOPED_TRACE(Describe(args) + (original == crlf ? " on CR LF" : ""));
      WriteFile("t.html", original);
      ASSERT_EQ(RunTool(args).status, 0);
      const std::string rewritten = ReadFile("t.html");
      ASSERT_NE(rewritten, original);

      WriteFile("t.html", original);
      args.insert(args.begin() + 1, "--dry-run");
      EXPECT_EQ(Outcome(RunTool(args)), "0 out[" + rewritten + "] err[]");
      EXPECT_EQ(ReadFile("t.html"), original);
    }
  }
}

TEST_F(ToolTest, DiffAgreesWithTheDiffUtility) {
  auto numbered = [](int first, int last) {
    std::string text;
    for (int line = first; line <= last; ++line) text += "line " + std::to_string(line) + "\n";
    return text;
  };
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"one line changed", numbered(1, 10), numbered(1, 4) + "changed\n" + numbered(6, 10)},
      {"last line feed lost", numbered(1, 5), numbered(1, 4) + "line 5"},
      {"line feed added", "a\nb", "a\nb\n"},
      {"far apart: two hunks", numbered(1, 20), "new\n" + numbered(2, 19) + "new\n"},
      {"close together: one hunk", numbered(1, 12),
       numbered(1, 2) + "x\n" + numbered(4, 8) + "y\n" + numbered(10, 12)},
      {"from nothing", "", numbered(1, 3)},
      {"to nothing", numbered(1, 3), ""},
      {"lines inserted at the start", numbered(3, 9), numbered(1, 9)},
      {"lines removed at the end", numbered(1, 9), numbered(1, 6)},
      {"more differing lines than the search bound", numbered(1, 1100), numbered(2001, 3100)},
  };
  for (const auto& [what, before, after] : cases) {
    SCOPED_TRACE(what);
    WriteFile("t.html", before);
    WriteFile("mask.html", after);
    ToolRun run = RunTool({"copy-mask", "--diff", "t.html", "mask.html"});
    EXPECT_EQ(ReadFile("t.html"), before);

    ToolRun diff = RunToolAt("/usr/bin/diff", {"-u", "t.html", "mask.html"}, "", {});
    ASSERT_LE(diff.status, 1) << diff.err;
    std::string expected = diff.out;
    // diff(1) puts dates in the two header lines; the tool names the template in both.
    if (!expected.empty()) {
      expected = "--- t.html\n+++ t.html\n" +
                 expected.substr(expected.find('\n', expected.find('\n') + 1) + 1);
    }
    EXPECT_EQ(Outcome(run), "0 out[" + expected + "] err[]");
  }
}

TEST_F(ToolTest, BackupKeepsThePreviousTextBesideTheTemplate) {
  ASSERT_EQ(::chmod("t.html", 0640), 0);
  ASSERT_EQ(::link("t.html", "link.html"), 0);
  struct stat before;
  struct stat after;
  struct stat backup;
  ASSERT_EQ(::stat("t.html", &before), 0);
  EXPECT_EQ(Outcome(RunTool({"set-tag", "--backup", "t.html", "ZRTSummary", "x"})),
            "0 out[] err[]");
  ASSERT_EQ(::stat("t.html", &after), 0);
  ASSERT_EQ(::stat("t.html~", &backup), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(backup.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile("t.html~"), kTemplate);
  EXPECT_NE(ReadFile("t.html"), kTemplate);
  EXPECT_EQ(ReadFile("link.html"), ReadFile("t.html"));
  ::unlink("link.html");

  const std::string first = ReadFile("t.html");
  EXPECT_EQ(RunTool({"set-start", "--backup=.orig", "t.html", "s"}).status, 0);
  EXPECT_EQ(ReadFile("t.html.orig"), first);
  EXPECT_EQ(ReadFile("t.html~"), kTemplate);

  // A rewrite that fails leaves the template, and the backup that was there, as they were.
  WriteFile("open.html", "<ZRTSummary>never closed\n<b>\n");
  WriteFile("open.html~", "older");
  EXPECT_EQ(RunTool({"set-tag", "--backup", "open.html", "ZRTSummary", "x"}).status, 10);
  EXPECT_EQ(ReadFile("open.html~"), "older");
  std::vector<std::string> expected = {"c:",     "mask.html",   "open.html", "open.html~",
                                       "t.html", "t.html.orig", "t.html~"};
  EXPECT_EQ(testing::ListDirectory("."), expected);
}

}  // namespace
}  // namespace zrtmask

#endif  // ZRTMASK_TOOL_PATH
