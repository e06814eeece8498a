// Concurrent use: threads and processes rewriting one template at once (serialised by its lock,
// each on the text the previous one left), a reader that never sees a half-written text, mask
// copies in both directions at once, threads rewriting their own templates through the one
// shared "c:/temp/", and the lock's time limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ZRTHtmlFile.h"
#include "template/pipeline.h"
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

std::string RegionName(int worker, int round) {
  return "ZRTR" + std::to_string(worker) + "_" + std::to_string(round);
}

// A template with a region for every even round of every worker and one marker per worker,
// ending in the element ZRTEnd.
std::string SharedTemplate() {
  std::string text = "<html>\n";
  for (int worker = 0; worker < kWorkers; ++worker) {
    text += std::string("<") + kMarkers[worker] + ">\n";
    for (int round = 0; round < kRounds; round += 2) {
      text += "<p><" + RegionName(worker, round) + ">old</" + RegionName(worker, round) + "></p>\n";
    }
  }
  return text + "<ZRTEnd></html>\n";
}

// One worker's rounds on the template: even rounds fill its own region, odd rounds insert a
// value after its own marker. Returns the number of rewrites that failed.
int RunWorker(const std::string& path, int worker) {
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    ZRTHtmlFile file(path.c_str());
    const std::string value = "w" + std::to_string(worker) + "r" + std::to_string(round);
    const ZRTUnicodeString text(value.c_str());
    int code = kOk;
    if (round % 2 == 0) {
      code = file.SetZRTTagContent(RegionName(worker, round).c_str(), text);
    } else if (worker == 0) {
      code = file.SetZRTStart(text);
    } else if (worker == 1) {
      code = file.SetZRTAnnotations(text);
    } else {
      code = worker == 2 ? file.SetZRTURL(text) : file.SetZRTDBAccess(text);
    }
    failed += code != kOk ? 1 : 0;
  }
  return failed;
}

// The names the library lists must be a part of the template's, in order, none twice, with the
// end element last: otherwise the reader saw a text that is neither the old nor a new one.
bool ConsistentListing(const std::vector<std::string>& all, const ZRTListValZRTUnicodeString& seen,
                       std::size_t* count) {
  std::size_t at = 0;
  const int size = seen.GetCount();
  for (int index = 0; index < size; ++index) {
    const std::string name = seen[index].ConvertToChar();
    while (at < all.size() && all[at] != name) ++at;
    if (at++ == all.size()) return false;
  }
  const bool ends_well = size > 0 && std::string(seen[size - 1].ConvertToChar()) == "ZRTEnd";
  const bool shrinks = static_cast<std::size_t>(size) <= *count;
  *count = static_cast<std::size_t>(size);
  return ends_well && shrinks;
}

// Every update lands, whatever the order the lock gave them: the result is the text that the
// same rewrites give one after another, up to blank lines. A reader meanwhile only ever sees whole texts.
TEST_F(ConcurrencyTest, WritersOfOneTemplateNeverSpliceOrLoseAnUpdate) {
  WriteFile("t.html", SharedTemplate());
  WriteFile("sequential.html", SharedTemplate());
  for (int worker = 0; worker < kWorkers; ++worker) ASSERT_EQ(RunWorker("sequential.html", worker), 0);
  std::vector<std::string> all;
  {
    ZRTListValZRTUnicodeString names;
    ASSERT_EQ(ZRTHtmlFile("t.html").GetAllZRTTag(&names), kOk);
    for (int index = 0; index < names.GetCount(); ++index)
      all.push_back(names[index].ConvertToChar());
  }
  std::fflush(nullptr);
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
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
  int reads = 0;
  std::thread reader([&] {
    std::size_t count = all.size();
    while (!done) {
      ZRTListValZRTUnicodeString seen;
      if (ZRTHtmlFile("t.html").GetAllZRTTag(&seen) != kOk || !ConsistentListing(all, seen, &count))
        ++torn;
      ++reads;
    }
  });
  for (pid_t child : children) {
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a rewrite failed";
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  // An item rewrite folds the blank line that a value insertion may leave: the order of the two
  // decides that line only.
  EXPECT_TRUE(testing::FoldLineFeeds(ReadFile("t.html")) ==
              testing::FoldLineFeeds(ReadFile("sequential.html")));
  EXPECT_TRUE(TempFiles().empty());
}

// Each copy reads its mask under a shared lock and lets it go before it locks its template, so
// two copies in opposite directions never wait for each other.
TEST_F(ConcurrencyTest, MaskCopiesInBothDirectionsAtOnceFinish) {
  WriteFile("a.html", "<p>text a</p>\n");
  WriteFile("b.html", "<p>text b</p>\n");
  std::atomic<int> failed{0};
  const auto copy = [&](const char* mask, const char* target) {
    for (int round = 0; round < 200; ++round) {
      if (ZRTHtmlFile(target).CopyMaskFile(mask) != kOk) ++failed;
    }
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

// Threads started in the same second draw the same temporary names; each rewrites its own
// template, which must end with exactly its own text.
TEST_F(ConcurrencyTest, ThreadsRewritingTheirOwnTemplatesKeepTheirTexts) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int index = 0; index < 8; ++index) {
    threads.emplace_back([&wrong, index] {
      const std::string path = "own" + std::to_string(index) + ".html";
      for (int round = 0; round < 100; ++round) {
        const std::string value = std::to_string(index) + "/" + std::to_string(round);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const std::string text = "A<QLXSTART>B\n<S>old</S>\n";
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
          ++wrong;
        ::close(fd);
        ZRTHtmlFile file(path.c_str());
        if (file.SetZRTStart(value.c_str()) != kOk ||
            file.SetZRTTagContent("S", value.c_str()) != kOk) {
          ++wrong;
        }
        ZRTListValZRTUnicodeString tags;
        if (file.GetAllZRTTag(&tags) != kOk || tags.GetCount() != 0) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  for (int index = 0; index < 8; ++index) {
    const std::string value = std::to_string(index) + "/99";
    EXPECT_EQ(ReadFile("own" + std::to_string(index) + ".html"),
              "A<QLXSTART>\n" + value + "\nB\n<!--S-->" + value + "<BR><!--/S-->");
  }
  EXPECT_TRUE(TempFiles().empty());
}

// No wait is endless: a rewrite that cannot have its lock in time fails with 15, leaving the
// template and c:/temp/ as they were; a query fails with 1.
TEST_F(ConcurrencyTest, LockHeldElsewhereTimesOut) {
  WriteFile("t.html", testing::kItemTemplate);
  WriteFile("m.html", "mask");
  const int holder = ::open("t.html", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  SetLockTimeoutForTesting(50);
  ZRTHtmlFile file("t.html");
  for (const testing::Rewrite& rewrite : testing::ItemRewrites()) EXPECT_EQ(rewrite.run(file), kOpenFailed);
  EXPECT_EQ(file.SetZRTStart("v"), kOpenFailed);
  EXPECT_EQ(file.CopyMaskFile("m.html"), kOpenFailed);
  ZRTUnicodeString name;
  EXPECT_EQ(file.GetZRTViewName(&name), kTemplateUnreadable);
  SetLockTimeoutForTesting(0);
  ::close(holder);
  EXPECT_EQ(ReadFile("t.html"), testing::kItemTemplate);
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace zrtmask
