// The command-line contract of the zrtmask tool beyond its table of command lines
// (tests/data/tool.cases): the version, the missing temporary directory, backups, JSON read
// back and a copy back onto a full disk. The tool runs as a child process in the test's
// scratch directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "zrtmask_module.h"

// The version macros are generated from one version: the numbers spell the string.
TEST(VersionTest, MacrosAgreeWithTheVersionString) {
  EXPECT_EQ(std::to_string(ZRTMASK_VERSION_MAJOR) + "." + std::to_string(ZRTMASK_VERSION_MINOR) +
                "." + std::to_string(ZRTMASK_VERSION_PATCH),
            ZRTMASK_VERSION_STRING);
}

// Without the tool in the build there is nothing to test here.
#ifdef ZRTMASK_TOOL_PATH

#include <nlohmann/json.hpp>

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

using ToolRun = testing::ProgramRun;

ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = "") {
  return testing::RunProgram(ZRTMASK_TOOL_PATH, args, input);
}

// The template has every kind of marker, one a line.
class ToolTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile("t.html", kTemplate);
    WriteFile("mask.html", "<p>mask</p>\n");
  }
  const std::string kTemplate = ReadFile(ZRTMASK_TEST_DATA_DIR "/tool/t.html");
};

// The run's exit status and its two streams, as one line.
std::string Outcome(const ToolRun& run) {
  return std::to_string(run.status) + " out[" + run.out + "] err[" + run.err + "]";
}

TEST_F(ToolTest, VersionIsTheLibrarysVersion) {
  EXPECT_EQ(Outcome(RunTool({"--version"})), "0 out[zrtmask " ZRTMASK_VERSION_STRING "\n] err[]");
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

// A marker rewrite answers 8 for a missing template too (its empty temporary file is named); a
// directory that only its owner may write is never blamed for lacking the sticky bit.
TEST_F(ToolTest, FailureMessagesSayWhichCauseItIs) {
  const ToolRun missing = RunTool({"set-start", "none.html", "x"});
  EXPECT_EQ(missing.status, 8);
  EXPECT_EQ(missing.err.rfind("zrtmask: none.html: template cannot be opened for writing: it does "
                              "not exist; the temporary file ",
                              0),
            0u)
      << missing.err;
  // Nothing can be created in /proc, whose mode is 0555 (root passes its permission check).
  const ToolRun proc = RunTool({"set-tag", "--temp-dir", "/proc", "t.html", "ZRTSummary", "x"});
  EXPECT_EQ(proc.status, 3);
  EXPECT_EQ(proc.err.find("sticky"), std::string::npos) << proc.err;
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
}

// A template or mask on a standard input that cannot be read (a directory) is an input error,
// never an empty file.
TEST_F(ToolTest, UnreadableStandardInputIsAnInputError) {
  for (const std::string args : {"tags -", "copy-mask t.html -"}) {
    const ToolRun run =
        testing::RunProgram("/bin/sh", {"-c", "exec \"$0\" " + args + " < .", ZRTMASK_TOOL_PATH});
    EXPECT_EQ(Outcome(run), "66 out[] err[zrtmask: standard input: Is a directory\n]");
  }
  EXPECT_EQ(ReadFile("t.html"), kTemplate);
}

TEST_F(ToolTest, BackupKeepsThePreviousTextBesideTheTemplate) {
  ASSERT_EQ(::chmod("t.html", 0640), 0);
  ASSERT_EQ(::link("t.html", "link.html"), 0);
  struct stat before, after, backup;
  ASSERT_EQ(::stat("t.html", &before), 0);
  EXPECT_EQ(Outcome(RunTool({"set-tag", "--backup", "t.html", "ZRTSummary", "x"})), "0 out[] err[]");
  ASSERT_EQ(::stat("t.html", &after), 0);
  ASSERT_EQ(::stat("t.html~", &backup), 0);
  EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mode == before.st_mode && after.st_nlink == 2);
  EXPECT_EQ(backup.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile("t.html~"), kTemplate);
  EXPECT_EQ(ReadFile("link.html"), ReadFile("t.html"));
  const std::string first = ReadFile("t.html");
  EXPECT_EQ(RunTool({"set-start", "--backup=.orig", "t.html", "s"}).status, 0);
  EXPECT_EQ(ReadFile("t.html.orig"), first);
  EXPECT_EQ(ReadFile("t.html~"), kTemplate);
  // A rewrite that fails leaves the template, and the backup that was there, as they were.
  WriteFile("open.html", "<ZRTSummary>never closed\n<b>\n");
  WriteFile("open.html~", "older");
  EXPECT_EQ(RunTool({"set-tag", "--backup", "open.html", "ZRTSummary", "x"}).status, 10);
  EXPECT_EQ(ReadFile("open.html~"), "older");
  EXPECT_EQ(testing::ListDirectory(".").size(), 8u);
}

// --json prints one document that the same library reads back.
TEST_F(ToolTest, JsonOutputParsesBack) {
  WriteFile("s.html", "<p id=\"a\\b\x01\">x</p>");
  WriteFile("bad.html", "<ZRTA>\n");
  const nlohmann::json scan = nlohmann::json::parse(RunTool({"scan", "--json", "s.html"}).out);
  EXPECT_EQ(scan["file"], "s.html");
  EXPECT_EQ(scan["items"].size(), 6u);
  EXPECT_EQ(scan["items"][2], nlohmann::json({{"line", 1}, {"type", "VALUE"}, {"value", "a\\b\x01"}}));
  const nlohmann::json tags = nlohmann::json::parse(RunTool({"tags", "--json", "t.html"}).out);
  EXPECT_EQ(tags["tags"], nlohmann::json({"ZRTViewName", "ZRTPath", "ZRTSummary", "ZRTImage"}));
  const ToolRun run = RunTool({"check", "--json", "t.html", "bad.html", "none.html"});
  EXPECT_EQ(run.status, 2);
  const nlohmann::json check = nlohmann::json::parse(run.out);
  EXPECT_EQ(check["errors"], 2);
  EXPECT_EQ(check["files"][1]["findings"][0],
            nlohmann::json({{"line", 1},
                            {"code", "Z101"},
                            {"severity", "error"},
                            {"message", "region ZRTA is not closed: filling it fails (10)"}}));
  EXPECT_EQ(check["files"][2]["result"], 2);
  EXPECT_EQ(check["files"][2]["findings"][0]["code"], "Z100");
}

// A copy back that fails (a full disk; a read-only template for an unprivileged user) names the
// file in c:/temp/ that holds the whole new text.
TEST_F(ToolTest, FailedCopyBackNamesTheFileHoldingTheNewText) {
  const auto kept_text = [&](const std::string& err, const std::string& message) {
    const std::string prefix = "zrtmask: " + message + "; the new text is kept in ";
    const bool named = err.size() > prefix.size() && err.compare(0, prefix.size(), prefix) == 0;
    const std::string path = named ? err.substr(prefix.size(), err.size() - prefix.size() - 1) : "";
    return named && path.rfind(scratch() + "/c:/temp/", 0) == 0 ? ReadFile(path) : "message: " + err;
  };
  ASSERT_EQ(::chmod("t.html", 0444), 0);
  EXPECT_EQ(testing::RunInChild([&] {
              const ToolRun run = RunTool({"set-tag", "t.html", "ZRTSummary", "x"});
              WriteFile("err8.txt", run.err);
              return run.status;
            }, true),
            8);
  EXPECT_NE(kept_text(ReadFile("err8.txt"), "t.html: template cannot be opened for writing")
                .find("<!--ZRTSummary-->x<BR><!--/ZRTSummary-->"),
            std::string::npos);
  ASSERT_EQ(::mkdir("disk", 0755), 0);
  const std::string large(100 * 1024, 'x');
  WriteFile("large.txt", large);
  EXPECT_EQ(testing::RunOnSmallDisk("disk", [&] {
              WriteFile("disk/t.html", kTemplate);
              const ToolRun run = RunTool({"dump", "disk/t.html", "ZRTSummary", "--text-file", "large.txt"});
              WriteFile("err9.txt", run.err);
              return run.status;
            }),
            9);
  EXPECT_NE(kept_text(ReadFile("err9.txt"), "disk/t.html: disk full").find("<!--ZRTSummary-->" + large + "<!--/ZRTSummary-->"),
            std::string::npos);
  EXPECT_EQ(testing::ListDirectory("c:/temp").size(), 2u);
}

// A site published from a list in another folder: paths relative to the list, folders made
// with --mkdir, a failed page reported and kept while the others are written, an unchanged
// page left alone (same inode, same time), a dry run listing only what would change; the JSON
// report read back.
TEST_F(ToolTest, PublishWritesChangedPagesAndReportsEachPage) {
  ASSERT_EQ(::mkdir("src", 0755), 0);
  WriteFile("src/m.html", "<title>x</title><ZRTViewName><title>t</title><ZRTA>a</ZRTA>\n");
  const std::string good =
      "{\"mask\": \"m.html\", \"page\": \"out/a.html\", \"view_name\": \"A\"}\n"
      "{\"mask\": \"m.html\", \"page\": \"out/deep/b.html\", \"text\": {\"ZRTA\": \"b\"}}\n";
  WriteFile(
      "src/site.jsonl",
      good + "{\"mask\": \"m.html\", \"page\": \"out/c.html\", \"html\": {\"ZRTB\": \"c\"}}\n");
  auto report = [](const ToolRun& run) {
    std::string lines;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    for (const auto& page : document["pages"]) {
      lines += page["page"].get<std::string>() + " " + page["status"].get<std::string>() + " " +
               std::to_string(page["code"].get<int>()) + "|";
    }
    return std::to_string(run.status) + " " + lines +
           std::to_string(document["written"].get<int>()) + "/" +
           std::to_string(document["unchanged"].get<int>()) + "/" +
           std::to_string(document["failed"].get<int>());
  };
  EXPECT_EQ(
      report(RunTool({"publish", "--json", "src/site.jsonl"})),
      "65 src/out/a.html failed 8|src/out/deep/b.html failed 8|src/out/c.html failed 11|0/0/3");
  EXPECT_EQ(
      report(RunTool({"publish", "--json", "--mkdir", "-j", "2", "src/site.jsonl"})),
      "65 src/out/a.html written 0|src/out/deep/b.html written 0|src/out/c.html failed 11|2/0/1");
  EXPECT_EQ(ReadFile("src/out/a.html"),
            "<title>x</title><ZRTViewName><title>A</title><ZRTA>a</ZRTA>\n");
  EXPECT_EQ(ReadFile("src/out/deep/b.html"),
            "<title>x</title><ZRTViewName><title>t</title><!--ZRTA-->b<BR><!--/ZRTA-->\n");
  struct stat before {};
  ASSERT_EQ(::stat("src/out/a.html", &before), 0);
  // The failed page's message names the list's line, the page and the part.
  const ToolRun failed = RunTool({"publish", "--quiet", "src/site.jsonl"});
  EXPECT_EQ(
      Outcome(failed),
      "65 out[] err[zrtmask: src/site.jsonl:3: src/out/c.html: a region, title, image or marker "
      "to fill is not in the mask; page not written (region ZRTB)\n]");
  WriteFile("src/site.jsonl", good);
  WriteFile("src/out/deep/b.html", "changed by hand");
  EXPECT_EQ(Outcome(RunTool({"publish", "--dry-run", "--quiet", "src/site.jsonl"})),
            "0 out[src/out/deep/b.html\n] err[]");
  EXPECT_EQ(RunTool({"publish", "--dry-run", "--diff", "--quiet", "src/site.jsonl"}).out,
            "--- src/out/deep/b.html\n+++ src/out/deep/b.html\n@@ -1 +1 @@\n-changed by hand\n"
            "\\ No newline at end of file\n"
            "+<title>x</title><ZRTViewName><title>t</title><!--ZRTA-->b<BR><!--/ZRTA-->\n");
  EXPECT_EQ(ReadFile("src/out/deep/b.html"), "changed by hand");
  EXPECT_EQ(report(RunTool({"publish", "--json", "src/site.jsonl"})),
            "0 src/out/a.html unchanged 0|src/out/deep/b.html written 0|1/1/0");
  struct stat after {};
  ASSERT_EQ(::stat("src/out/a.html", &after), 0);
  EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
              after.st_mtim.tv_sec == before.st_mtim.tv_sec);
  // --root replaces the list's folder; standard input resolves against the working directory.
  WriteFile("m.html", "<ZRTA>r</ZRTA>");
  EXPECT_EQ(RunTool({"publish", "--quiet", "--root", ".", "src/site.jsonl"}).status, 65);
  EXPECT_EQ(
      RunTool({"publish", "--quiet", "-"}, "{\"mask\": \"m.html\", \"page\": \"r.html\"}").status,
      0);
  EXPECT_EQ(ReadFile("r.html"), "<ZRTA>r</ZRTA>");
  // A page named by a relative and by an absolute path is named twice.
  const std::string absolute = std::filesystem::current_path().string() + "/r.html";
  EXPECT_EQ(RunTool({"publish", "--quiet", "-"},
                    "{\"mask\": \"m.html\", \"page\": \"r.html\"}\n"
                    "{\"mask\": \"m.html\", \"page\": \"" +
                        absolute + "\"}")
                .status,
            64);
}

// A diff shows what a publish replaces: a link at the page's name (never followed: its target
// may be a file the user cannot read) or a FIFO (never waited on) is compared as an empty page.
TEST_F(ToolTest, DiffNeverReadsThroughALinkOrAFifoAtThePage) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>\n");
  WriteFile("secret.txt", "secret\n");
  ASSERT_EQ(::symlink("secret.txt", "link.html"), 0);
  ASSERT_EQ(::mkfifo("fifo.html", 0644), 0);
  const std::string added = "@@ -0,0 +1 @@\n+<ZRTA>a</ZRTA>\n";
  for (const std::string page : {"link.html", "fifo.html"}) {
    EXPECT_EQ(RunTool({"render", "m.html", "-o", page, "--diff"}).out,
              "--- " + page + "\n+++ " + page + "\n" + added);
    EXPECT_EQ(RunTool({"publish", "--dry-run", "--diff", "--quiet", "-"},
                      "{\"mask\": \"m.html\", \"page\": \"" + page + "\"}")
                  .out,
              "--- " + page + "\n+++ " + page + "\n" + added);
  }
}

}  // namespace
}  // namespace zrtmask

#endif  // ZRTMASK_TOOL_PATH
