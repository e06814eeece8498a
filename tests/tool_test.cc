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

#include <nlohmann/json.hpp>

namespace zrtmask {
namespace {

using testing::FileExists;
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

// Every rewriting subcommand, with operands for kTemplate written to t.html, and a piece of the
// text it writes that only its own operation writes.
const std::vector<std::pair<std::vector<std::string>, std::string>>& RewriteCommands() {
  static const std::vector<std::pair<std::vector<std::string>, std::string>> kCommands = {
      {{"set-view-name", "t.html", "Q2 <final>"}, "<title>Q2 &lt;final&gt;</title>"},
      {{"set-tag", "t.html", "ZRTSummary", "a\nb"},
       "<!--ZRTSummary-->a<BR>b<BR><!--/ZRTSummary-->"},
      {{"dump", "t.html", "ZRTSummary", "<b>x</b>"}, "<!--ZRTSummary--><b>x</b><!--/ZRTSummary-->"},
      {{"set-image", "t.html", "new.png", "10", "20"},
       "<!--ZRTImage--><img src=\"new.png\" width=\"10\" height=\"20\"><!--/ZRTImage-->"},
      {{"set-start", "t.html", "s"}, "<QLXSTART>\ns\n"},
      {{"set-annotations", "t.html", "a"}, "<QLXANNOT>\na\n"},
      {{"set-url", "t.html", "u"}, "<QLXURL>\nu\n"},
      {{"set-dbaccess", "t.html", "d"}, "<QLXDBACCESS>\nd\n"},
      {{"copy-mask", "t.html", "mask.html"}, "<p>mask</p>\n"},
  };
  return kCommands;
}

class ToolTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile("t.html", kTemplate);
    WriteFile("mask.html", "<p>mask</p>\n");
  }
};

// text with the number in each temporary file name replaced by N.
std::string WithoutTempNumbers(std::string text) {
  for (size_t at = text.find("c:/temp/"); at != std::string::npos; at = text.find("c:/temp/", at)) {
    at += 8;
    size_t digits = text.find_first_not_of("0123456789", at);
    text.replace(at, digits - at, "N");
  }
  return text;
}

// The run's exit status and its two streams, as one line.
std::string Outcome(const ToolRun& run) {
  return std::to_string(run.status) + " out[" + run.out + "] err[" + run.err + "]";
}

TEST_F(ToolTest, QueriesAndScanPrintTheAnswerOnStdoutOnly) {
  WriteFile("s.html", "<p id=\"a\\b\x01\">x\ty\n</p><!--c-->\n<i>\n");
  const std::string all =
      "1\tTAG\tp\n1\tATTRIBUTE\tid\n1\tVALUE\ta\\\\b\\x01\n1\tATTRIBUTE\t\n"
      "2\tTEXT\tx\\ty\\n\n2\tTAG\t/p\n2\tCOMMENT\t-c-\n3\tTEXT\t\\n\n3\tTAG\ti\n";
  const std::string tags_and_comments = "1\tTAG\tp\n2\tTAG\t/p\n2\tCOMMENT\t-c-\n3\tTAG\ti\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"view-name", "t.html"}, "Sales <Q1>\n"},
      {{"tag", "t.html", "ZRTSummary"}, "one\ntwo\n"},
      {{"tag", "--lenient", "t.html", "ZRTNothing"}, "\n"},
      {{"path", "t.html"}, "reports/q1\n"},
      {{"tags", "t.html"}, "ZRTViewName\nZRTPath\nZRTSummary\nZRTImage\n"},
      {{"scan", "s.html"}, all},
      {{"scan", "--types", "63", "s.html"}, all},
      {{"scan", "--types", "9", "s.html"}, tags_and_comments},
      {{"scan", "--types", "Tag,comment", "s.html"}, tags_and_comments},
  };
  for (const auto& [args, out] : cases) {
    SCOPED_TRACE(Describe(args));
    EXPECT_EQ(Outcome(RunTool(args)), "0 out[" + out + "] err[]");
  }
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
}

TEST_F(ToolTest, EachRewriteIsSilentAndReachesItsOwnOperation) {
  for (const auto& [args, fragment] : RewriteCommands()) {
    SCOPED_TRACE(Describe(args));
    WriteFile("t.html", kTemplate);
    EXPECT_EQ(Outcome(RunTool(args)), "0 out[] err[]");
    EXPECT_NE(ReadFile("t.html").find(fragment), std::string::npos) << ReadFile("t.html");
  }
  EXPECT_EQ(TempFiles(), std::vector<std::string>{});
}

// render fills each part as its rewrite does (values from arguments, files and standard input),
// publishes with -o, shows a diff, and names a part that the mask lacks or leaves open.
TEST_F(ToolTest, RenderFillsEachPartAsItsRewriteDoes) {
  WriteFile("v.txt", "Q2 <final>\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"render", "t.html", "--view-name-file", "v.txt"}, "<title>Q2 &lt;final&gt;</title>"},
      {{"render", "t.html", "--text", "ZRTSummary=-"},
       "<!--ZRTSummary-->a<BR>b<BR><!--/ZRTSummary-->"},
      {{"render", "t.html", "--html", "ZRTSummary=<b>x</b>"},
       "<!--ZRTSummary--><b>x</b><!--/ZRTSummary-->"},
      {{"render", "t.html", "--image", "new.png", "10", "20"},
       "<!--ZRTImage--><img src=\"new.png\" width=\"10\" height=\"20\"><!--/ZRTImage-->"},
      {{"render", "t.html", "--start", "s", "--annotations", "a", "--url", "u", "--dbaccess", "d"},
       "<QLXSTART>\ns\n\n<QLXANNOT>\na\n\n<QLXURL>\nu\n\n<QLXDBACCESS>\nd\n"},
  };
  for (const auto& [args, fragment] : cases) {
    SCOPED_TRACE(Describe(args));
    const ToolRun run = RunTool(args, "a\nb\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(fragment), std::string::npos) << run.out;
  }
  EXPECT_EQ(Outcome(RunTool({"render", "t.html", "-o", "p.html", "--url", "u"})), "0 out[] err[]");
  EXPECT_EQ(Outcome(RunTool({"render", "t.html", "-o", "p.html", "--url", "v", "--diff"})),
            "0 out[--- p.html\n+++ p.html\n@@ -7,7 +7,7 @@\n <QLXSTART>\n <QLXANNOT>\n"
            " <QLXURL>\n-u\n+v\n \n <QLXDBACCESS>\n </body>\n] err[]");
  WriteFile("open.html", "<a>\n<ZRTSummary>never closed\n");
  EXPECT_EQ(Outcome(RunTool({"render", "open.html", "-o", "p.html", "--text", "ZRTSummary=x"})),
            "10 out[] err[zrtmask: open.html:2: ZRTSummary: a marker region or title is not "
            "closed; template left unchanged\n]");
  EXPECT_EQ(Outcome(RunTool({"render", "t.html", "--html", "ZRTNone=x"})),
            "11 out[] err[zrtmask: t.html: ZRTNone: a region, title, image or marker to fill is "
            "not in the mask\n]");
  EXPECT_EQ(Outcome(RunTool({"render", "t.html", "-o", "nodir/p.html", "--url", "u"})),
            "8 out[] err[zrtmask: nodir/p.html: cannot be written: its directory is missing or "
            "not writable\n]");
  EXPECT_EQ(Outcome(RunTool({"render", "-", "--start", "-"})),
            "64 out[] err[zrtmask: standard input (-) can be read only once\n"
            "Run 'zrtmask render --help' for more information.\n]");
  EXPECT_EQ(ReadFile("p.html").find("<QLXURL>\nu\n"), ReadFile("p.html").find("<QLXURL>"));
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
}

TEST_F(ToolTest, FailuresExitWithTheResultCodeAndNameTheFile) {
  WriteFile("open.html", "<a>\n<ZRTSummary>never closed\n<b>x</b>\n");
  WriteFile("title.html", "<ZRTViewName>\n<title>never closed\n<p>x</p>\n");
  WriteFile("bare.html", "<p>x</p>\n");
  const std::string none = "zrtmask: none.html: template does not exist\n";
  const std::string unclosed =
      ":2: a marker region or title is not closed; template left unchanged\n";
  const std::string open = "zrtmask: open.html" + unclosed;
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"scan", "none.html"}, 2, none},
      {{"view-name", "none.html"}, 2, none},
      {{"tags", "none.html"}, 2, none},
      {{"set-tag", "none.html", "ZRTSummary", "x"}, 2, none},
      {{"set-tag", "--dry-run", "none.html", "ZRTSummary", "x"}, 2, none},
      {{"scan", "."}, 15, "zrtmask: .: open or write failed\n"},
      {{"copy-mask", "t.html", "nomask.html"},
       22,
       "zrtmask: nomask.html: mask file does not exist\n"},
      {{"set-tag", "open.html", "ZRTSummary", "x"}, 10, open},
      {{"set-tag", "--dry-run", "open.html", "ZRTSummary", "x"}, 10, open},
      {{"set-view-name", "title.html", "x"}, 10, "zrtmask: title.html" + unclosed},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "novalue.txt"},
       66,
       "zrtmask: novalue.txt: No such file or directory\n"},
      // A region or marker that the template does not hold: nothing is printed or rewritten.
      {{"tag", "t.html", "ZRTSumary"}, 65, "zrtmask: t.html: no region ZRTSumary\n"},
      {{"path", "bare.html"}, 65, "zrtmask: bare.html: no marker ZRTPath\n"},
      {{"set-tag", "bare.html", "ZRTSummary", "x"},
       65,
       "zrtmask: bare.html: no region ZRTSummary\n"},
      {{"set-image", "bare.html", "a.png", "1", "2"},
       65,
       "zrtmask: bare.html: no marker ZRTImage\n"},
      {{"set-url", "bare.html", "u"}, 65, "zrtmask: bare.html: no marker QLXURL\n"},
      {{"set-url", "--diff", "bare.html", "u"}, 65, "zrtmask: bare.html: no marker QLXURL\n"},
  };
  for (const auto& [args, status, err] : cases) {
    SCOPED_TRACE(Describe(args));
    EXPECT_EQ(Outcome(RunTool(args)), std::to_string(status) + " out[] err[" + err + "]");
  }
  EXPECT_FALSE(FileExists("none.html"));
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
  EXPECT_EQ(ReadFile("open.html"), "<a>\n<ZRTSummary>never closed\n<b>x</b>\n");
  EXPECT_EQ(ReadFile("bare.html"), "<p>x</p>\n");
  // Leniently, the rewrite runs: the item rewrite writes the page back without its last line feed.
  EXPECT_EQ(Outcome(RunTool({"set-tag", "--lenient", "bare.html", "ZRTSummary", "x"})),
            "0 out[] err[]");
  EXPECT_EQ(ReadFile("bare.html"), "<p>x</p>");
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
  // --temp-dir names another directory, which must exist as well.
  EXPECT_EQ(Outcome(RunTool({"set-start", "--temp-dir", "gone", "t.html", "x"})).substr(0, 8),
            "8 out[] ");
  ASSERT_EQ(::mkdir("elsewhere", 0700), 0);
  EXPECT_EQ(Outcome(RunTool({"set-tag", "--temp-dir", "elsewhere", "t.html", "ZRTSummary", "x"})),
            "0 out[] err[]");
  EXPECT_NE(ReadFile("t.html").find("<!--ZRTSummary-->x<BR>"), std::string::npos);
  // A mask is copied straight over the template: no temporary directory is needed.
  EXPECT_EQ(Outcome(RunTool({"copy-mask", "t.html", "mask.html"})), "0 out[] err[]");
  EXPECT_EQ(ReadFile("t.html"), "<p>mask</p>\n");
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
      {0444, set_tag, 8,
       "zrtmask: t.html: template cannot be opened for writing; the new text is kept in " +
           scratch() + "/c:/temp/N.html\n"},
  };
  for (const auto& [mode, args, code, message] : cases) {
    SCOPED_TRACE(Describe(args));
    ASSERT_EQ(::chmod("t.html", mode), 0);
    int status = testing::RunUnprivileged([&, &args = args] {
      ToolRun run = RunToolAt(bin + "/zrtmask", args, "", {"LD_LIBRARY_PATH=" + bin});
      std::FILE* err = std::fopen("err.txt", "w");
      if (err == nullptr) return 254;
      std::fputs(run.err.c_str(), err);
      std::fclose(err);
      return run.status;
    });
    EXPECT_EQ(status, code);
    EXPECT_EQ(WithoutTempNumbers(ReadFile("err.txt")), message);
    ASSERT_EQ(::chmod("t.html", 0644), 0);
    EXPECT_EQ(ReadFile("t.html"), kTemplate);
  }
}

TEST_F(ToolTest, UsageErrorsExitSixtyFourOnStderr) {
  WriteFile("v.txt", "value\n");
  const std::vector<std::string> cases[] = {
      {},
      {"frobnicate", "t.html"},
      {"--no-such-option"},
      {"tag", "t.html"},
      {"tags", "t.html", "extra"},
      {"set-image", "t.html", "a.png", "wide", "10"},
      {"set-image", "t.html", "a.png", "99999999999", "10"},
      {"set-image", "t.html", "a.png", "10", "-1"},
      {"scan", "--types", "bogus", "t.html"},
      {"scan", "--types", "64", "t.html"},
      {"set-tag", "-", "ZRTSummary", "x"},
      {"set-tag", "t.html", "ZRTSummary"},
      {"set-tag", "t.html", "ZRTSummary", "x", "--text-file", "v.txt"},
      {"set-tag", "--dry-run", "--backup", "t.html", "ZRTSummary", "x"},
      {"set-tag", "--diff", "--backup=.orig", "t.html", "ZRTSummary", "x"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(Describe(args));
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("zrtmask: ", 0), 0u) << run.err;
  }
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
}

TEST_F(ToolTest, HelpAndVersionGoToStdout) {
  const std::vector<std::string> cases[] = {{"--help"}, {"set-tag", "--help"}, {"scan", "-h"}};
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(Describe(args));
    const ToolRun run = RunTool(args);
    EXPECT_EQ(Outcome(run), "0 out[" + run.out + "] err[]");
    EXPECT_NE(run.out.find("Usage: zrtmask"), std::string::npos) << run.out;
  }
  EXPECT_EQ(Outcome(RunTool({"--version"})), "0 out[zrtmask " ZRTMASK_VERSION_STRING "\n] err[]");
}

TEST_F(ToolTest, DashReadsStandardInput) {
  // One final line feed of a value read from a stream belongs to the stream, not to the value.
  ASSERT_EQ(RunTool({"set-tag", "t.html", "ZRTSummary", "one\ntwo"}).status, 0);
  const std::string expected = ReadFile("t.html");
  WriteFile("v.txt", "one\ntwo\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"set-tag", "t.html", "ZRTSummary", "-"}, "one\ntwo\n"},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "-"}, "one\ntwo"},
      {{"set-tag", "t.html", "ZRTSummary", "--text-file", "v.txt"}, ""},
  };
  for (const auto& [args, input] : cases) {
    SCOPED_TRACE(Describe(args));
    WriteFile("t.html", kTemplate);
    EXPECT_EQ(Outcome(RunTool(args, input)), "0 out[] err[]");
    EXPECT_EQ(ReadFile("t.html"), expected);
  }
  EXPECT_EQ(Outcome(RunTool({"tag", "-", "ZRTSummary"}, kTemplate)), "0 out[one\ntwo\n] err[]");
  EXPECT_EQ(Outcome(RunTool({"tags", "-"}, kTemplate)),
            "0 out[ZRTViewName\nZRTPath\nZRTSummary\nZRTImage\n] err[]");

  WriteFile("t.html", kTemplate);
  EXPECT_EQ(RunTool({"copy-mask", "t.html", "-"}, "<i>from stdin</i>\n").status, 0);
  EXPECT_EQ(ReadFile("t.html"), "<i>from stdin</i>\n");
}

TEST_F(ToolTest, DryRunPrintsWhatARealRunWritesAndLeavesTheTemplate) {
  // The template with CR LF line ends, which a rewrite keeps.
  std::string crlf;
  for (const char* c = kTemplate; *c != '\0'; ++c) crlf += *c == '\n' ? "\r\n" : std::string(1, *c);
  for (const std::string& original : {std::string(kTemplate), crlf}) {
    for (auto [args, fragment] : RewriteCommands()) {
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
  // A dry run brings its own temporary directory.
  ASSERT_EQ(::rmdir("c:/temp"), 0);
  EXPECT_EQ(RunTool({"set-start", "--dry-run", "t.html", "x"}).status, 0);
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
      {"from nothing", "", numbered(1, 3)},
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

// The template is rewritten in place: inode, mode and links stay; the backup is a copy.
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

// check: each rule once, at its line; errors make the exit status 65, warnings only with
// --strict; a template that cannot be read gives its result code.
TEST_F(ToolTest, CheckReportsWhatARewriteWouldDoLikeACompiler) {
  WriteFile("errors.html",
            "<ZRTA>one\n<ZRTA>two</ZRTA>\n<ZRTA>three</ZRTA>\n<ZRTViewName><title>x\n<ZRTB>open\n");
  WriteFile("warnings.html",
            "<!DOCTYPE html>\n<zrtx></zrtx><ZRTPATH></ZRTPATH>\n<script>a <b> c</script><!-- "
            "<QLXURL> -->\n"
            "<!--ZRTS-->x<!--/ZRTS-->\n\n<p  class=\"c\">\n<pre><b>x\n</b></pre>\n"
            "<ZRTR><i>k</i></ZRTR>\n<![CDATA[x]]>\n");
  const std::string errors =
      "errors.html:2: error: region ZRTA opens again before it closes (it opened on line 1)\n"
      "errors.html:3: error: region ZRTA appears again (first on line 1)\n"
      "errors.html:4: error: the view name's title is not closed: set-view-name fails (10)\n"
      "errors.html:5: error: region ZRTB is not closed: a rewrite of it fails (10)\n";
  const std::string warnings =
      "warnings.html:1: warning: declaration: an item rewrite does not write it back\n"
      "warnings.html:2: warning: zrtx looks like a marker element, but marker names begin with "
      "ZRT\n"
      "warnings.html:2: warning: ZRTPATH is not the marker ZRTPath: names are matched exactly\n"
      "warnings.html:3: warning: the content of <script> is read as markup: an item rewrite "
      "changes it\n"
      "warnings.html:3: warning: processing marker inside a comment: its rewrite inserts the "
      "value there\n"
      "warnings.html:4: warning: region ZRTS is already filled (a pair of comments): rewrites do "
      "not find it again\n"
      "warnings.html:5: warning: blank lines are removed by an item rewrite (1 place)\n"
      "warnings.html:6: warning: two blanks after an element name: an item rewrite writes =\"\" "
      "there\n"
      "warnings.html:7: warning: an item rewrite adds a line feed inside <pre> (on line 7)\n"
      "warnings.html:9: warning: region ZRTR holds markup (<i>): a rewrite of it keeps the "
      "elements and drops their text\n"
      "warnings.html:10: warning: CDATA section: an item rewrite drops it up to its first >\n";
  EXPECT_EQ(Outcome(RunTool({"check", "errors.html", "warnings.html"})),
            "65 out[" + errors + warnings + "] err[]");
  EXPECT_EQ(Outcome(RunTool({"check", "warnings.html"})), "0 out[" + warnings + "] err[]");
  EXPECT_EQ(RunTool({"check", "--strict", "warnings.html"}).status, 65);
  EXPECT_EQ(Outcome(RunTool({"check", "t.html", "none.html"})),
            "2 out[] err[zrtmask: none.html: template does not exist\n]");
  EXPECT_EQ(Outcome(RunTool({"check", "-"}, "<ZRTA>\n")),
            "65 out[standard input:1: error: region ZRTA is not closed: a rewrite of it fails "
            "(10)\n] err[]");
}

// --json prints one document that the same library reads back.
TEST_F(ToolTest, JsonOutputParsesBack) {
  WriteFile("s.html", "<p id=\"a\\b\x01\">x</p>");
  WriteFile("bad.html", "<ZRTA>\n");
  const nlohmann::json scan = nlohmann::json::parse(RunTool({"scan", "--json", "s.html"}).out);
  EXPECT_EQ(scan["file"], "s.html");
  EXPECT_EQ(scan["items"].size(), 6u);
  EXPECT_EQ(scan["items"][2],
            nlohmann::json({{"line", 1}, {"type", "VALUE"}, {"value", "a\\b\x01"}}));
  const nlohmann::json tags = nlohmann::json::parse(RunTool({"tags", "--json", "t.html"}).out);
  EXPECT_EQ(tags["tags"], nlohmann::json({"ZRTViewName", "ZRTPath", "ZRTSummary", "ZRTImage"}));
  ToolRun run = RunTool({"check", "--json", "t.html", "bad.html", "none.html"});
  EXPECT_EQ(run.status, 2);
  const nlohmann::json check = nlohmann::json::parse(run.out);
  EXPECT_EQ(check["errors"], 1);
  EXPECT_EQ(check["files"][1]["findings"][0],
            nlohmann::json({{"line", 1},
                            {"severity", "error"},
                            {"message", "region ZRTA is not closed: a rewrite of it fails (10)"}}));
  EXPECT_EQ(check["files"][2]["result"], 2);
}

// A copy back that fails on a full disk names the file that holds the whole new text.
TEST_F(ToolTest, FailedCopyBackNamesTheFileHoldingTheNewText) {
  ASSERT_EQ(::mkdir("disk", 0755), 0);
  const std::string large(100 * 1024, 'x');
  WriteFile("large.txt", large);
  const int status = testing::RunOnSmallDisk("disk", 64 * 1024, [&] {
    WriteFile("disk/t.html", kTemplate);
    ToolRun run = RunTool({"dump", "disk/t.html", "ZRTSummary", "--text-file", "large.txt"});
    WriteFile("err.txt", run.err);
    return run.status;
  });
  EXPECT_EQ(status, 9);
  EXPECT_EQ(WithoutTempNumbers(ReadFile("err.txt")),
            "zrtmask: disk/t.html: disk full; the new text is kept in " + scratch() +
                "/c:/temp/N.html\n");
  const std::vector<std::string> temps = testing::TakeTempTexts();
  ASSERT_EQ(temps.size(), 1u);
  EXPECT_NE(temps[0].find("<!--ZRTSummary-->" + large + "<!--/ZRTSummary-->"), std::string::npos);
}

}  // namespace
}  // namespace zrtmask

#endif  // ZRTMASK_TOOL_PATH
