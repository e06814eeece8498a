// Concurrent use: threads in two processes rewriting one template at once (serialised by its
// lock, each on the text the previous one left) while a reader only ever sees whole texts, and
// mask copies in both directions at once, which must not wait for each other.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class ConcurrencyTest : public testing::ScratchDirTest {};

constexpr int kRounds = 60;
using Setter = int (ZRTHtmlFile::*)(ZRTUnicodeString);
const Setter kSetters[] = {&ZRTHtmlFile::SetZRTStart, &ZRTHtmlFile::SetZRTAnnotations,
                           &ZRTHtmlFile::SetZRTURL, &ZRTHtmlFile::SetZRTDBAccess};

// Worker w fills the region ZRTRw_r in even rounds r and inserts a value after its own marker in
// odd ones. Returns the number of rewrites that failed.
int RunWorker(const char* path, int worker) {
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    ZRTHtmlFile file(path);
    const std::string value = std::to_string(worker) + "_" + std::to_string(round);
    failed += (round % 2 == 0 ? file.SetZRTTagContent(("ZRTR" + value).c_str(), value.c_str())
                              : (file.*kSetters[worker])(value.c_str())) != kOk;
  }
  return failed;
}

// The names the template lists; none when the query fails.
std::vector<std::string> Tags(const char* path) {
  ZRTListValZRTUnicodeString names;
  std::vector<std::string> tags;
  if (ZRTHtmlFile(path).GetAllZRTTag(&names) != kOk) return tags;
  for (const ZRTUnicodeString& name : names) tags.push_back(name.ConvertToChar());
  return tags;
}

// The result is the text that the same rewrites give one after another, up to blank lines; a
// reader meanwhile sees a shrinking part of the names, in order, with ZRTEnd last.
TEST_F(ConcurrencyTest, WritersOfOneTemplateNeverSpliceOrLoseAnUpdate) {
  const char* const markers[] = {"QLXSTART", "QLXANNOT", "QLXURL", "QLXDBACCESS"};
  std::string text = "<html>\n";
  for (int worker = 0; worker < 4; ++worker) {
    text += std::string("<") + markers[worker] + ">\n";
    for (int round = 0; round < kRounds; round += 2) {
      const std::string name = "ZRTR" + std::to_string(worker) + "_" + std::to_string(round);
      text += "<p><" + name + ">old</" + name + "></p>\n";
    }
  }
  WriteFile("t.html", text + "<ZRTEnd></html>\n");
  WriteFile("sequential.html", text + "<ZRTEnd></html>\n");
  for (int worker = 0; worker < 4; ++worker) ASSERT_EQ(RunWorker("sequential.html", worker), 0);
  const std::vector<std::string> all = Tags("t.html");
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    std::fflush(nullptr);
    children.push_back(::fork());
    if (children.back() == 0) {
      std::atomic<int> failed{0};
      std::thread other([&] { failed += RunWorker("t.html", 2 * process + 1); });
      failed += RunWorker("t.html", 2 * process);
      other.join();
      ::_exit(failed);
    }
  }
  std::atomic<bool> done{false};
  int torn = 0;
  std::thread reader([&] {
    for (std::size_t count = all.size(); !done;) {
      const std::vector<std::string> seen = Tags("t.html");
      std::size_t at = 0;
      for (const std::string& name : seen) {
        while (at < all.size() && all[at] != name) ++at;
        torn += at++ >= all.size();
      }
      torn += seen.empty() || seen.size() > count || seen.back() != "ZRTEnd";
      count = seen.size();
    }
  });
  for (pid_t child : children) {
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a rewrite failed";
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  // An item rewrite folds the blank line that a value insertion may leave: the order of the two
  // decides that line only.
  const auto fold = [](std::string folded) {
    for (std::size_t at; (at = folded.find("\n\n")) != std::string::npos;) folded.erase(at, 1);
    return folded;
  };
  EXPECT_TRUE(fold(ReadFile("t.html")) == fold(ReadFile("sequential.html")));
  EXPECT_EQ(testing::ListDirectory("c:/temp").size(), 0u);
}

// Each copy reads its mask under a shared lock and lets it go before it locks its template.
TEST_F(ConcurrencyTest, MaskCopiesInBothDirectionsAtOnceFinish) {
  WriteFile("a.html", "a");
  WriteFile("b.html", "b");
  std::atomic<int> failed{0};
  const auto copy = [&](const char* mask, const char* target) {
    for (int round = 0; round < 200; ++round) failed += ZRTHtmlFile(target).CopyMaskFile(mask) != kOk;
  };
  std::thread forward(copy, "a.html", "b.html");
  copy("b.html", "a.html");
  forward.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(ReadFile("a.html"), ReadFile("b.html"));
}

}  // namespace
}  // namespace zrtmask
