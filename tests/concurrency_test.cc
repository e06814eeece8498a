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

constexpr int kWorkers = 4;  // two processes of two threads
constexpr int kRounds = 60;
const char* const kMarkers[kWorkers] = {"QLXSTART", "QLXANNOT", "QLXURL", "QLXDBACCESS"};
using Setter = int (ZRTHtmlFile::*)(ZRTUnicodeString);
const Setter kSetters[kWorkers] = {&ZRTHtmlFile::SetZRTStart, &ZRTHtmlFile::SetZRTAnnotations,
                                   &ZRTHtmlFile::SetZRTURL, &ZRTHtmlFile::SetZRTDBAccess};

std::string Region(int worker, int round) {
  return "ZRTR" + std::to_string(worker) + "_" + std::to_string(round);
}

// A region for every even round of every worker and one marker per worker; ZRTEnd last.
std::string SharedTemplate() {
  std::string text = "<html>\n";
  for (int worker = 0; worker < kWorkers; ++worker) {
    text += std::string("<") + kMarkers[worker] + ">\n";
    for (int round = 0; round < kRounds; round += 2) {
      text += "<p><" + Region(worker, round) + ">old</" + Region(worker, round) + "></p>\n";
    }
  }
  return text + "<ZRTEnd></html>\n";
}

// Even rounds fill the worker's own region, odd rounds insert a value after its own marker.
// Returns the number of rewrites that failed.
int RunWorker(const char* path, int worker) {
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    ZRTHtmlFile file(path);
    const std::string value = "w" + std::to_string(worker) + "r" + std::to_string(round);
    failed += (round % 2 == 0 ? file.SetZRTTagContent(Region(worker, round).c_str(), value.c_str())
                              : (file.*kSetters[worker])(value.c_str())) != kOk;
  }
  return failed;
}

std::vector<std::string> Tags(const char* path, int* code) {
  ZRTListValZRTUnicodeString names;
  *code = ZRTHtmlFile(path).GetAllZRTTag(&names);
  std::vector<std::string> tags;
  for (const ZRTUnicodeString& name : names) tags.push_back(name.ConvertToChar());
  return tags;
}

// The result is the text that the same rewrites give one after another, up to blank lines; a
// reader meanwhile sees a shrinking part of the names in order, ZRTEnd last.
TEST_F(ConcurrencyTest, WritersOfOneTemplateNeverSpliceOrLoseAnUpdate) {
  WriteFile("t.html", SharedTemplate());
  WriteFile("sequential.html", SharedTemplate());
  for (int worker = 0; worker < kWorkers; ++worker) ASSERT_EQ(RunWorker("sequential.html", worker), 0);
  int code = 0;
  const std::vector<std::string> all = Tags("t.html", &code);
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      std::atomic<int> failed{0};
      std::thread other([&] { failed += RunWorker("t.html", 2 * process + 1); });
      failed += RunWorker("t.html", 2 * process);
      other.join();
      ::_exit(failed == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  std::atomic<bool> done{false};
  int torn = 0;
  std::thread reader([&] {
    std::size_t count = all.size();
    while (!done) {
      const std::vector<std::string> seen = Tags("t.html", &code);
      std::size_t at = 0;
      for (const std::string& name : seen) {
        while (at < all.size() && all[at] != name) ++at;
        torn += at++ == all.size();
      }
      torn += code != kOk || seen.size() > count || seen.empty() || seen.back() != "ZRTEnd";
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
  const auto fold = [](std::string text) {
    for (std::size_t at; (at = text.find("\n\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  EXPECT_TRUE(fold(ReadFile("t.html")) == fold(ReadFile("sequential.html")));
  EXPECT_EQ(testing::ListDirectory("c:/temp").size(), 0u);
}

// Each copy reads its mask under a shared lock and lets it go before it locks its template.
TEST_F(ConcurrencyTest, MaskCopiesInBothDirectionsAtOnceFinish) {
  WriteFile("a.html", "<p>text a</p>\n");
  WriteFile("b.html", "<p>text b</p>\n");
  std::atomic<int> failed{0};
  const auto copy = [&](const char* mask, const char* target) {
    for (int round = 0; round < 200; ++round) failed += ZRTHtmlFile(target).CopyMaskFile(mask) != kOk;
  };
  std::thread forward(copy, "a.html", "b.html");
  copy("b.html", "a.html");
  forward.join();
  EXPECT_EQ(failed, 0);
  for (const char* path : {"a.html", "b.html"}) {
    const std::string text = ReadFile(path);
    EXPECT_TRUE(text == "<p>text a</p>\n" || text == "<p>text b</p>\n") << text;
  }
}

}  // namespace
}  // namespace zrtmask
