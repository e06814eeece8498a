// The check subcommand beyond its table (tests/data/check.cases): a mask that cannot be read,
// which needs an unprivileged user, and a value as long as the scanner holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ZRTDcHtmlHandler.h"
#include "testing/test_support.h"

#ifdef ZRTMASK_TOOL_PATH

#include <nlohmann/json.hpp>

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class CheckTest : public testing::ScratchDirTest {};

// A mask that cannot be read is an error finding (Z100) in text and JSON, counted in errors;
// the exit status is its result code (1), and the other masks are still checked.
TEST_F(CheckTest, UnreadableMaskIsAnErrorFinding) {
  WriteFile("m.html", "<ZRTA>x</ZRTA>");
  WriteFile("open.html", "<ZRTB>x");
  ASSERT_EQ(::chmod("m.html", 0), 0);
  const int status = testing::RunInChild(
      [] {
        const testing::ProgramRun text =
            testing::RunProgram(ZRTMASK_TOOL_PATH, {"check", "m.html", "open.html"});
        const testing::ProgramRun json =
            testing::RunProgram(ZRTMASK_TOOL_PATH, {"check", "--json", "m.html", "open.html"});
        WriteFile("text.txt", text.out + text.err);
        WriteFile("json.txt", json.out);
        return text.status == json.status ? text.status : 100;
      },
      /*unprivileged=*/true);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(ReadFile("text.txt"),
            "m.html: error: template is not readable [Z100]\n"
            "open.html:1: error: region ZRTB is not closed: filling it fails (10) [Z101]\n");
  const nlohmann::json report = nlohmann::json::parse(ReadFile("json.txt"));
  EXPECT_EQ(report["errors"], 2);
  EXPECT_EQ(report["files"][0]["result"], 1);
  EXPECT_EQ(report["files"][0]["findings"][0],
            nlohmann::json({{"line", 0},
                            {"code", "Z100"},
                            {"severity", "error"},
                            {"message", "template is not readable"}}));
}

// An attribute value that fills the scanner's value buffer may have been cut: it is reported, at
// the buffer's length; one byte shorter is whole.
TEST_F(CheckTest, ValueAsLongAsTheScannerHoldsIsReported) {
  const std::size_t longest = static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxValueSize) - 1;
  WriteFile("long.html", "<p title=\"" + std::string(longest, 'v') + "\">\n");
  WriteFile("whole.html", "<p title=\"" + std::string(longest - 1, 'v') + "\">\n");
  const testing::ProgramRun run = testing::RunProgram(
      ZRTMASK_TOOL_PATH, {"check", "--for", "rewrite", "long.html", "whole.html"});
  EXPECT_EQ(run.out, "long.html:1: warning: a value or comment of " + std::to_string(longest) +
                         " bytes or more: the scanner cuts it there, so a rewrite cannot write it "
                         "back [Z208]\n");
}

}  // namespace
}  // namespace zrtmask

#endif  // ZRTMASK_TOOL_PATH
