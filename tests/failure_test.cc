// Real failures beyond the table in tests/data/faults.cases: names already taken, a full tmpfs
// and /dev/full (also for a published page), and the mask copy's own failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/failures.h"
#include "base/platform.h"
#include "testing/test_support.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;
using testing::kTemplate;

constexpr char kTemp[] = "c:/temp/";

class FailureTest : public testing::ScratchDirTest {};

// A rewrite never takes an existing name for its temporary file, and names drawn from the
// kernel's random source cannot be guessed ahead: names pre-created from rand() block nothing.
// A random source that fails gives 15.
TEST_F(FailureTest, TemporaryFileNeverTakesAnExistingName) {
  WriteFile("t.html", kTemplate);
  ZRTHtmlFile file("t.html");
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  std::vector<std::string> names;
  for (int draw = 0; draw < 1000; ++draw) names.push_back(kTemp + std::to_string(std::rand()) + ".html");
  for (const std::string& name : names) WriteFile(name, "someone else's");
  EXPECT_EQ(file.SetZRTTagContent("S", "C"), kOk);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(name), "someone else's");
  ArmFault(Call::kRandom, 1, EIO);
  EXPECT_EQ(file.SetZRTTagContent("S", "D"), kOpenFailed);
  DisarmFaults();
}

// A template created for a mask copy is removed again when the copy fails; no mask path is a
// missing mask; a mask that is the template, by any name, leaves it as it is.
TEST_F(FailureTest, MaskCopyFailuresLeaveNoNewTemplate) {
  WriteFile("m.html", "<p>mask</p>\n");
  for (const auto& [call, nth, error] : {std::tuple{Call::kOpen, 0, EACCES},
                                         std::tuple{Call::kReserve, 1, ENOSPC},
                                         std::tuple{Call::kWrite, 1, EIO}}) {
    ArmFault(call, nth, error, "new.html");
    EXPECT_NE(ZRTHtmlFile("new.html").CopyMaskFile("m.html"), kOk) << error;
    DisarmFaults();
    EXPECT_NE(::access("new.html", 0), 0);
  }
  EXPECT_EQ(ZRTHtmlFile("absent/t.html").CopyMaskFile("m.html"), kTemplateNotWritable);
  EXPECT_EQ(ZRTHtmlFile("t.html").CopyMaskFile(nullptr), kMaskMissing);
  WriteFile("t.html", "old");
  ::symlink("t.html", "link.html");
  for (const char* mask : {"t.html", "./t.html", "link.html"}) {
    EXPECT_EQ(ZRTHtmlFile("t.html").CopyMaskFile(mask), kOk);
    EXPECT_EQ(ReadFile("t.html"), "old");
  }
}

// The real faults the seam stands for: a full temporary disk, a full template disk, /dev/full.
TEST_F(FailureTest, FullDisksGiveTheDiskFullCodes) {
  const std::string large = "<p>" + std::string(200 * 1024, 'y') + kTemplate;
  WriteFile("m.html", large);
  for (const testing::Operation& op : testing::Operations()) {
    if (op.group == testing::kQuery) continue;
    SCOPED_TRACE(op.label);
    WriteFile("t.html", large);
    // c:/temp/ is full: 5 and the temporary file left; the mask copy needs none.
    EXPECT_EQ(testing::RunOnSmallDisk("c:/temp", [&] {
                ZRTHtmlFile file("t.html");
                return op.run(file) + 100 * static_cast<int>(testing::ListDirectory(kTemp).size());
              }),
              op.group == testing::kCopy ? kOk : kTempDiskFull + 100);
    testing::TakeTempTexts();
  }
  // The template alone on a full disk: 9, the template unchanged.
  ::mkdir("disk", 0777);
  EXPECT_EQ(testing::RunOnSmallDisk("disk", [&] {
              WriteFile("disk/t.html", kTemplate);
              const int code = ZRTHtmlFile("disk/t.html").CopyMaskFile("m.html");
              return code + (ReadFile("disk/t.html") == kTemplate ? 100 : 0);
            }),
            kTemplateDiskFull + 100);
  // A page published onto a full disk: 9, the old page as it was and nothing beside it.
  PageFill fill;
  fill.regions.push_back({"S", "new", false});
  EXPECT_EQ(testing::RunOnSmallDisk("disk", [&] {
              WriteFile("disk/p.html", "old page");
              const int code = PublishPage("m.html", "disk/p.html", fill);
              return code + (ReadFile("disk/p.html") == "old page" && testing::ListDirectory("disk").size() == 1 ? 100 : 0);
            }),
            kTemplateDiskFull + 100);
  // A device is no template: the copy refuses it before writing (it used to write /dev/full).
  ::symlink("/dev/full", "full.html");
  EXPECT_EQ(ZRTHtmlFile("full.html").CopyMaskFile("m.html"), kTemplateNotWritable);
  // A file system without a free block is full (/proc has none); this one is not.
  EXPECT_EQ(DiskFullCode("/proc"), kTempDiskFull);
  EXPECT_EQ(DiskFullCode("."), kOk);
}

// A template in a folder whose absolute name is longer than PATH_MAX is rewritten: its name
// cannot be resolved, and the copy-back record keeps the name as given.
TEST_F(FailureTest, RewritesInAFolderBeyondPathMax) {
  const std::string part(200, 'd');
  for (int depth = 0; depth < 25; ++depth) {
    ASSERT_EQ(::mkdir(part.c_str(), 0755), 0);
    ASSERT_EQ(::chdir(part.c_str()), 0);
  }
  ASSERT_EQ(::mkdir("c:", 0755), 0);
  ASSERT_EQ(::mkdir(kTemp, 0755), 0);
  WriteFile("t.html", kTemplate);
  const int code = ZRTHtmlFile("t.html").SetZRTTagContent("S", "C");
  const std::string text = ReadFile("t.html");
  ASSERT_EQ(::chdir(scratch().c_str()), 0);
  // Removed here: the teardown's walk cannot reach below PATH_MAX.
  EXPECT_EQ(std::system(("rm -rf " + part).c_str()), 0);
  EXPECT_EQ(code, kOk);
  EXPECT_NE(text.find("<!--S-->C<BR><!--/S-->"), std::string::npos);
}

}  // namespace
}  // namespace zrtmask
