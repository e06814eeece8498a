// The check subcommand beyond its table (tests/data/check.cases): a mask that cannot be read,
// which needs an unprivileged user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

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

}  // namespace
}  // namespace zrtmask

#endif  // ZRTMASK_TOOL_PATH
