// Rewrites against crashes, swapped names and inputs that are no templates: a child killed at
// every step of a rewrite, copy backs that fail part way, names replaced by links between two
// steps, FIFOs, devices, directories and items longer than the scanner's buffers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "template/pipeline.h"
#include "template/tool_entry.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

#ifndef ZRTMASK_TOOL_PATH
#define ZRTMASK_TOOL_PATH ""  // no tool in the build: its steps are left out
#endif

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class RecoveryTest : public testing::ScratchDirTest {
 protected:
  void TearDown() override {
    SetStepHook(nullptr);
    DisarmFaults();
    SetLockTimeoutForTesting(0);
    testing::ScratchDirTest::TearDown();
  }
};

// A template large enough for a copy back of several chunks (64 KB each).
std::string LargeTemplate() { return testing::kTemplate + ("<p>" + std::string(300 * 1024, 'y') + "</p>\n"); }

// The record files left in c:/temp/.
int Records() {
  int count = 0;
  for (const std::string& name : testing::ListDirectory("c:/temp")) count += name[0] == '.' ? 1 : 0;
  return count;
}

// The new text that op gives text, from a rewrite of a copy.
std::string NewText(const testing::Operation& op, const std::string& text) {
  WriteFile("clean.html", text);
  ZRTHtmlFile clean("clean.html");
  EXPECT_EQ(op.run(clean), kOk) << op.label;
  return ReadFile("clean.html");
}

// The step at which the hook kills the process, and how often it must be reached first.
const char* stop_step = "";
int stop_count = 0;
void KillAtStep(const char* step) {
  if (std::string(step) == stop_step && --stop_count == 0) ::raise(SIGKILL);
}

// A rewrite killed at any step leaves, after the next access (a query), the old or the new text
// and nothing else; from the record on, the new one. No record is left behind.
TEST_F(RecoveryTest, KilledRewriteLeavesOldOrNewTextAfterNextAccess) {
  const std::string old_text = LargeTemplate();
  WriteFile("m.html", "<b>mask</b>\n" + std::string(200 * 1024, 'm'));
  const struct {
    const char* step;
    int count;
    bool committed;  // the record is on disk: the next access finishes the copy
  } kSteps[] = {{"template-opened", 1, false}, {"template-locked", 1, false},
                {"temp-written", 1, false},    {"record-written", 1, true},
                {"copy-back-chunk", 1, true},  {"copy-back-chunk", 3, true},
                {"template-synced", 1, true}};
  for (const testing::Operation& op : testing::Operations()) {
    if (op.group == testing::kQuery) continue;
    const std::string new_text = NewText(op, old_text);
    for (const auto& step : kSteps) {
      SCOPED_TRACE(std::string(op.label) + " killed at " + step.step + " #" + std::to_string(step.count));
      WriteFile("t.html", old_text);
      stop_step = step.step;
      stop_count = step.count;
      EXPECT_EQ(testing::RunInChild([&] {
                  SetStepHook(KillAtStep);
                  ZRTHtmlFile file("t.html");
                  return op.run(file);
                }),
                -1);
      ZRTListValZRTUnicodeString tags;
      EXPECT_EQ(ZRTHtmlFile("t.html").GetAllZRTTag(&tags), kOk);
      const std::string after = ReadFile("t.html");
      EXPECT_TRUE(after == (step.committed ? new_text : old_text) || (!step.committed && after == new_text));
      EXPECT_EQ(Records(), 0);
      testing::TakeTempTexts();
    }
  }
}

// A copy back that fails part way (the disk filled up) leaves a cut template and its record; the
// next access, a query or a rewrite, finishes it. A record whose text was changed is left alone
// and reported, and so is the template.
TEST_F(RecoveryTest, CopyBackCutPartWayIsFinishedByNextAccess) {
  const std::string old_text = LargeTemplate();
  WriteFile("m.html", "<b>mask</b>\n" + std::string(200 * 1024, 'm'));
  for (const testing::Operation& op : testing::Operations()) {
    if (op.group == testing::kQuery) continue;
    SCOPED_TRACE(op.label);
    const std::string new_text = NewText(op, old_text);
    for (const char* next_access : {"query", "recover", "rewrite", "tampered"}) {
      SCOPED_TRACE(next_access);
      WriteFile("t.html", old_text);
      ArmFault(Call::kWrite, 2, ENOSPC, "t.html");
      EXPECT_EQ(op.run(*std::make_unique<ZRTHtmlFile>("t.html")), kTemplateDiskFull);
      DisarmFaults();
      ASSERT_EQ(Records(), 1);
      const std::string cut = ReadFile("t.html");
      EXPECT_NE(cut, old_text);
      EXPECT_NE(cut, new_text);
      const std::string access = next_access;
      if (access == "tampered") {
        for (const std::string& name : testing::ListDirectory("c:/temp")) {
          if (name[0] != '.') WriteFile("c:/temp/" + name, "not the text recorded");
        }
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ZRTHtmlFile("t.html").GetZRTPath(nullptr), kOk);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("copy back not finished"), std::string::npos);
        // Other programs' files there are no records, whatever their names.
        WriteFile("c:/temp/notes of another program.txt", "x");
        const std::vector<tool_internal::Recovered> recovered = tool_internal::Recover("c:/temp/", {});
        ASSERT_EQ(recovered.size(), 1u);
        EXPECT_EQ(recovered[0].outcome, 2);
        // A record short of one field is incomplete, whatever else it names; one longer than
        // 8 KB is no record of ours.
        std::string record = ReadFile(recovered[0].record_path);
        const std::size_t length = record.find("\nlength ");
        ASSERT_NE(length, std::string::npos);
        record.erase(length, record.find('\n', length + 1) - length);
        for (const std::size_t size : {record.size(), std::size_t{8192}, std::size_t{8193}}) {
          WriteFile(recovered[0].record_path, record + std::string(size - record.size(), '\n'));
          EXPECT_EQ(tool_internal::Recover("c:/temp/", {})[0].problem,
                    size > 8192 ? "the record is too long" : "the record is incomplete");
        }
        EXPECT_EQ(ReadFile("t.html"), cut);
        EXPECT_EQ(Records(), 1);
      } else if (access == "recover") {
        // The tool lists what it finished, by the template's resolved path (a build without the
        // tool finishes it through the library's entry).
        if (*ZRTMASK_TOOL_PATH == '\0') {
          EXPECT_EQ(tool_internal::Recover("c:/temp/", {}).size(), 1u);
        } else {
          const testing::ProgramRun run = testing::RunProgram(ZRTMASK_TOOL_PATH, {"recover"});
          EXPECT_EQ(run.status, 0);
          EXPECT_EQ(run.out, "finished " + scratch() + "/t.html (" + std::to_string(new_text.size()) + " bytes)\n");
        }
        EXPECT_EQ(ReadFile("t.html"), new_text);
      } else if (access == "rewrite") {
        // The rewrite finishes the cut one first, then makes its own change on the new text.
        EXPECT_EQ(op.run(*std::make_unique<ZRTHtmlFile>("t.html")), kOk);
        EXPECT_EQ(ReadFile("t.html"), op.group == testing::kCopy ? new_text : NewText(op, new_text));
      } else {
        EXPECT_EQ(ZRTHtmlFile("t.html").GetZRTPath(nullptr), kOk);
        EXPECT_EQ(ReadFile("t.html"), new_text);
      }
      if (access != "tampered") {
        EXPECT_EQ(testing::ListDirectory("c:/temp"), std::vector<std::string>{});
      }
      for (const std::string& name : testing::ListDirectory("c:/temp")) ::unlink(("c:/temp/" + name).c_str());
    }
  }
}

// A user who may read the template but not write it leaves a cut copy back as it is (queries and
// recover report it); the next access by one who may write it finishes it.
TEST_F(RecoveryTest, CopyBackIsLeftToAUserWhoMayWriteTheTemplate) {
  const std::string old_text = LargeTemplate();
  const testing::Operation& tag = testing::Operations()[1];
  const std::string new_text = NewText(tag, old_text);
  // Run by an unprivileged user: 0, or the step that went wrong.
  const auto cut_then_read_only = [&] {
    WriteFile("t.html", old_text);
    ArmFault(Call::kWrite, 2, ENOSPC, "t.html");
    if (tag.run(*std::make_unique<ZRTHtmlFile>("t.html")) != kTemplateDiskFull) return 1;
    DisarmFaults();
    const std::string cut = ReadFile("t.html");
    if (::chmod("t.html", 0444) != 0) return 2;
    const std::size_t descriptors = testing::ListDirectory("/proc/self/fd").size();
    const std::vector<tool_internal::Recovered> recovered = tool_internal::Recover("c:/temp/", {});
    if (recovered.size() != 1) return 3;
    if (recovered[0].problem != "the template cannot be opened for writing") return 4;
    if (testing::ListDirectory("/proc/self/fd").size() != descriptors) return 8;  // one leaked
    if (ReadFile("t.html") != cut || Records() != 1) return 5;
    ::chmod("t.html", 0644);
    if (ZRTHtmlFile("t.html").GetZRTPath(nullptr) != kOk) return 6;
    return ReadFile("t.html") == new_text ? 0 : 7;
  };
  EXPECT_EQ(testing::RunInChild(cut_then_read_only, /*unprivileged=*/true), 0);
}

// What a hook does between two steps of a rewrite.
std::function<void()> swap_names;
void SwapAtStep(const char* step) {
  if (std::string(step) == stop_step && swap_names) {
    swap_names();
    swap_names = nullptr;
  }
}

// Names replaced by links while a rewrite runs redirect nothing: the template's name after it
// is opened, the temporary file's after it is written. The link's target is left untouched.
TEST_F(RecoveryTest, NamesSwappedForLinksRedirectNothing) {
  WriteFile("secret.html", "secret\n");
  ::chmod("secret.html", 0600);
  SetStepHook(SwapAtStep);
  for (const testing::Operation& op : testing::Operations()) {
    if (op.group != testing::kItem && op.group != testing::kMarker) continue;
    SCOPED_TRACE(op.label);
    const std::string new_text = NewText(op, testing::kTemplate);
    // The template's name, once the rewrite holds it.
    WriteFile("t.html", testing::kTemplate);
    stop_step = "template-locked";
    swap_names = [] {
      ::rename("t.html", "t.moved");
      ::symlink("secret.html", "t.html");
    };
    EXPECT_EQ(op.run(*std::make_unique<ZRTHtmlFile>("t.html")), kOk);
    EXPECT_EQ(ReadFile("secret.html"), "secret\n");
    EXPECT_EQ(ReadFile("t.moved"), new_text);
    ::unlink("t.html");
    // The temporary file's name, once the new text is in it.
    WriteFile("t.html", testing::kTemplate);
    stop_step = "temp-written";
    swap_names = [] {
      for (const std::string& name : testing::ListDirectory("c:/temp")) {
        ::rename(("c:/temp/" + name).c_str(), "c:/temp/moved");
        ::symlink("../../secret.html", ("c:/temp/" + name).c_str());
      }
    };
    EXPECT_EQ(op.run(*std::make_unique<ZRTHtmlFile>("t.html")), kOk);
    EXPECT_EQ(ReadFile("secret.html"), "secret\n");
    EXPECT_EQ(ReadFile("t.html"), new_text);
    ::unlink("c:/temp/moved");
    EXPECT_EQ(testing::ListDirectory("c:/temp"), std::vector<std::string>{});
  }
}

// Inputs that are no templates, and items that a rewrite would cut, in one table: each
// operation's code by group (item, marker, copy, query), the template unchanged, nothing left in
// c:/temp/, and no hang (a child that hangs is stopped after 10 s and fails).
TEST_F(RecoveryTest, InputsThatAreNoTemplatesAndLongItemsAreRefused) {
  const std::string value(600 * 1024, 'v');
  const struct {
    const char* label;
    std::function<void()> make;  // makes t.html (and m.html, the mask)
    int item, marker, copy, query;
  } kCases[] = {
      {"fifo", [] { ::mkfifo("t.html", 0644); }, kTemplateUnreadable, kTemplateNotWritable, kTemplateNotWritable, kTemplateUnreadable},
      {"device", [] { ::symlink("/dev/zero", "t.html"); }, kTemplateUnreadable, kTemplateNotWritable, kTemplateNotWritable, kTemplateUnreadable},
      {"directory", [] { ::mkdir("t.html", 0755); }, kTemplateUnreadable, kTemplateNotWritable, kTemplateNotWritable, kTemplateUnreadable},
      {"fifo mask", [] { ::unlink("m.html"); ::mkfifo("m.html", 0644); }, kOk, kOk, kMaskUnreadable, kOk},
      {"device mask", [] { ::unlink("m.html"); ::symlink("/dev/zero", "m.html"); }, kOk, kOk, kMaskUnreadable, kOk},
      {"long value", [&] { WriteFile("t.html", "<p title=\"" + value + "\">\n" + testing::kTemplate); }, kItemTooLong, kOk, kOk, kOk},
      {"long comment", [&] { WriteFile("t.html", "<!--" + value + "-->\n" + testing::kTemplate); }, kItemTooLong, kOk, kOk, kOk},
      {"long name", [] { WriteFile("t.html", "<p " + std::string(300, 'n') + "=1>\n" + testing::kTemplate); }, kItemTooLong, kOk, kOk, kOk},
      {"value at the limit", [] { WriteFile("t.html", "<p title=\"" + std::string(524287, 'v') + "\">\n" + testing::kTemplate); }, kOk, kOk, kOk, kOk},
  };
  for (const auto& test_case : kCases) {
    for (const testing::Operation& op : testing::Operations()) {
      SCOPED_TRACE(std::string(test_case.label) + ": " + op.label);
      ::unlink("t.html");
      ::rmdir("t.html");
      ::unlink("m.html");
      WriteFile("m.html", "<p>mask</p>\n");
      if (std::string(test_case.label).find("mask") != std::string::npos) WriteFile("t.html", testing::kTemplate);
      test_case.make();
      struct stat info;
      const bool regular = ::stat("t.html", &info) == 0 && S_ISREG(info.st_mode);
      const std::string before = regular ? ReadFile("t.html") : "";
      const int expected[] = {0, test_case.item, test_case.marker, 0, test_case.copy, 0, 0, 0, test_case.query};
      EXPECT_EQ(testing::RunInChild([&] {
                  ::alarm(10);
                  ZRTHtmlFile file("t.html");
                  return op.run(file);
                }),
                expected[op.group]);
      if (expected[op.group] != kOk && regular) {
        EXPECT_EQ(ReadFile("t.html"), before);
      }
      EXPECT_EQ(testing::ListDirectory("c:/temp"), std::vector<std::string>{});
      testing::TakeTempTexts();
    }
  }
  // The tool names the line where the long item ends.
  if (*ZRTMASK_TOOL_PATH == '\0') return;
  WriteFile("long.html", "<html>\n<p title=\"" + value + "\">\n" + testing::kTemplate);
  const testing::ProgramRun run = testing::RunProgram(ZRTMASK_TOOL_PATH, {"set-tag", "long.html", "S", "x"});
  EXPECT_EQ(run.status, kItemTooLong);
  EXPECT_EQ(run.err, "zrtmask: long.html:2: an item is too long to be written back\n");
}

// A temporary folder that others may write without the sticky bit is refused (the mask copy
// goes on without a temporary file); a lock not had in time is told apart for the tool.
TEST_F(RecoveryTest, OpenTempFolderAndLockTimeoutAreExplained) {
  ASSERT_EQ(::chmod("c:/temp", 0777), 0);
  WriteFile("m.html", "<p>mask</p>\n");
  const int expected[] = {0, kTempNotWritable, kTemplateNotWritable, 0, kOk, 0, 0, 0, kOk};
  for (const testing::Operation& op : testing::Operations()) {
    SCOPED_TRACE(op.label);
    WriteFile("t.html", testing::kTemplate);
    EXPECT_EQ(op.run(*std::make_unique<ZRTHtmlFile>("t.html")), expected[op.group]);
    if (expected[op.group] != kOk) {
      EXPECT_EQ(LastFailureDetail().kind, FailureDetail::Kind::kTempDirOpenToOthers);
      EXPECT_EQ(ReadFile("t.html"), testing::kTemplate);
    }
  }
  ASSERT_EQ(::chmod("c:/temp", 01777), 0);
  WriteFile("t.html", testing::kTemplate);
  const int held = ::open("t.html", O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  SetLockTimeoutForTesting(50);
  EXPECT_EQ(ZRTHtmlFile("t.html").SetZRTTagContent("S", "x"), kOpenFailed);
  EXPECT_EQ(LastFailureDetail().kind, FailureDetail::Kind::kLockTimeout);
  EXPECT_EQ(ZRTHtmlFile("t.html").GetZRTPath(nullptr), kTemplateUnreadable);
  EXPECT_EQ(LastFailureDetail().kind, FailureDetail::Kind::kLockTimeout);
  ::close(held);
}

}  // namespace
}  // namespace zrtmask
