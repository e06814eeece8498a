// Real failures, which calibrate the table of injected faults in tests/data/faults.cases:
// missing files, permissions for an unprivileged user, the temporary directory, names already
// taken, a full tmpfs and /dev/full; and the mask copy's own failures.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

using testing::kCopy;
using testing::kItem;
using testing::kMarker;
using testing::kQuery;
using testing::kTemplate;
using testing::Operation;
using testing::Operations;

constexpr char kTemp[] = "c:/temp/";

// What a case leaves in c:/temp/.
enum class Left { kNothing, kEmpty, kNewText };

class FailureTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile("m.html", "<p>mask</p>\n");
  }

  // The template after op when nothing fails.
  static std::string NewText(const Operation& op) {
    WriteFile("clean.html", kTemplate);
    ZRTHtmlFile file("clean.html");
    EXPECT_EQ(op.run(file), kOk) << op.label;
    return ReadFile("clean.html");
  }

  static void ExpectLeft(Left left, const std::string& new_text) {
    const std::vector<std::string> temps = testing::TakeTempTexts();
    ASSERT_EQ(temps.size(), left == Left::kNothing ? 0u : 1u);
    EXPECT_TRUE(temps.empty() || temps[0] == (left == Left::kEmpty ? "" : new_text));
  }
};

// Real conditions, without the seam: the code of each group of operations ("8e": 8 and an
// empty temporary file left, "8n": 8 and the new text left; "" not applicable).
TEST_F(FailureTest, RealConditionsGiveTheCodesTheSeamStandsFor) {
  struct Condition {
    const char* label;
    const char* path;  // the template the operations get
    bool unprivileged;
    const char* outcome[4];  // item, marker, copy, query
    std::function<void()> set_up;
  } const conditions[] = {
      {"no path", nullptr, false, {"2", "2", "2", "2"}, [] {}},
      {"missing", "missing.html", false, {"2", "8e", "", "2"}, [] {}},
      {"directory", "dir.html", false, {"15", "8e", "", "15"}, [] { ::mkdir("dir.html", 0777); }},
      {"unreadable", "t.html", true, {"1", "8e", "", "1"}, [] { ::chmod("t.html", 0200); }},
      {"read-only", "t.html", true, {"8n", "8n", "8", "0"}, [] { ::chmod("t.html", 0444); }},
      {"no temporary directory", "t.html", false, {"3", "8", "0", "0"}, [] { ::rmdir(kTemp); }},
  };
  for (const Condition& c : conditions) {
    for (const Operation& op : Operations()) {
      const std::string outcome = c.outcome[__builtin_ctz(op.group)];
      if (outcome.empty()) continue;
      SCOPED_TRACE(std::string(c.label) + ", " + op.label);
      const std::string new_text = NewText(op);
      WriteFile("t.html", kTemplate);
      c.set_up();
      const int code = testing::RunInChild([&] {
        ZRTHtmlFile file(c.path);
        return op.run(file);
      }, c.unprivileged);
      ::chmod("t.html", 0644);
      ::mkdir(kTemp, 0777);
      ::chmod(kTemp, 0777);
      EXPECT_EQ(code, std::stoi(outcome));
      EXPECT_EQ(ReadFile("t.html"), code == kOk && op.group != kQuery ? new_text : kTemplate);
      ExpectLeft(outcome.back() == 'e' ? Left::kEmpty : outcome.back() == 'n' ? Left::kNewText : Left::kNothing,
                 new_text);
      EXPECT_NE(::access("missing.html", 0), 0);
    }
  }
}

// A template created for a mask copy is removed again when the copy fails; a mask that is the
// template, by any name, leaves it as it is.
TEST_F(FailureTest, MaskCopyFailuresLeaveNoNewTemplate) {
  for (const auto& [call, nth, error] : {std::tuple{Call::kOpen, 0, EACCES},
                                         std::tuple{Call::kReserve, 1, ENOSPC},
                                         std::tuple{Call::kWrite, 1, EIO}}) {
    ArmFault(call, nth, error, "new.html");
    EXPECT_NE(ZRTHtmlFile("new.html").CopyMaskFile("m.html"), kOk);
    DisarmFaults();
    EXPECT_NE(::access("new.html", 0), 0);
  }
  EXPECT_EQ(ZRTHtmlFile("absent/t.html").CopyMaskFile("m.html"), kTemplateNotWritable);
  WriteFile("t.html", "old");
  ::symlink("t.html", "link.html");
  for (const char* mask : {"t.html", "./t.html", "link.html"}) {
    EXPECT_EQ(ZRTHtmlFile("t.html").CopyMaskFile(mask), kOk);
    EXPECT_EQ(ReadFile("t.html"), "old");
  }
}

// Runs body in a child that has mounted a tmpfs of 64 KB on directory, in a mount namespace of
// its own: the disk really runs out of space. Returns body's result, 250 when the mount failed.
int RunOnSmallDisk(const char* directory, const std::function<int()>& body) {
  return testing::RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", directory, "tmpfs", 0, "size=65536") != 0) {
      return 250;
    }
    return body();
  });
}

// The real faults the seam stands for: a full temporary disk, a full template disk, /dev/full.
TEST_F(FailureTest, FullDisksGiveTheDiskFullCodes) {
  const std::string large = "<p>" + std::string(200 * 1024, 'y') + kTemplate;
  WriteFile("m.html", large);
  for (const Operation& op : Operations()) {
    if (op.group == kQuery) continue;
    SCOPED_TRACE(op.label);
    WriteFile("t.html", large);
    // c:/temp/ is full: 5 and the temporary file left; the mask copy needs none.
    EXPECT_EQ(RunOnSmallDisk("c:/temp", [&] {
                ZRTHtmlFile file("t.html");
                return op.run(file) + 100 * static_cast<int>(testing::ListDirectory(kTemp).size());
              }),
              op.group == kCopy ? kOk : kTempDiskFull + 100);
    testing::TakeTempTexts();
  }
  // The template alone on a full disk: 9, the template unchanged.
  ::mkdir("disk", 0777);
  EXPECT_EQ(RunOnSmallDisk("disk", [&] {
              WriteFile("disk/t.html", kTemplate);
              const int code = ZRTHtmlFile("disk/t.html").CopyMaskFile("m.html");
              return code + (ReadFile("disk/t.html") == kTemplate ? 100 : 0);
            }),
            kTemplateDiskFull + 100);
  // A device reserves no space, so the copy writes, and /dev/full fails with ENOSPC.
  ::symlink("/dev/full", "full.html");
  EXPECT_EQ(ZRTHtmlFile("full.html").CopyMaskFile("m.html"), kTemplateDiskFull);
}

}  // namespace
}  // namespace zrtmask
