// Concurrent use: threads and processes started in the same second rewrite many different
// templates at once, all through the one shared "c:/temp/". Each template must end with
// exactly its own text, and no temporary file may be left.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

class ConcurrencyTest : public testing::ScratchDirTest {};

// Thread-safe file helpers: they report failures through the result instead of gtest.
bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return !out.fail();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs `rounds` rewrites on templates of its own, named after worker, cycling through the item
// rewrite, the marker rewrite and the mask copy; every rewrite has a new object, as a server
// handling one request after another would. Returns a description of each wrong outcome.
std::vector<std::string> RewriteOwnTemplates(const std::string& worker, int rounds) {
  std::vector<std::string> wrong;
  const std::string template_path = worker + ".html";
  const std::string mask_path = worker + "-mask.html";
  for (int round = 0; round < rounds; ++round) {
    const std::string value = worker + " round " + std::to_string(round);
    std::string expected;
    int code = -1;
    switch (round % 3) {
      case 0: {
        if (!WriteText(template_path, "<html>\n<S>old</S>\n</html>\n")) break;
        ZRTHtmlFile file(template_path.c_str());
        code = file.SetZRTTagContent("S", value.c_str());
        expected = "<html>\n<!--S-->" + value + "<BR><!--/S-->\n</html>";
        break;
      }
      case 1: {
        if (!WriteText(template_path, "A<QLXSTART>B\n")) break;
        ZRTHtmlFile file(template_path.c_str());
        code = file.SetZRTStart(value.c_str());
        expected = "A<QLXSTART>\n" + value + "\nB\n";
        break;
      }
      case 2: {
        if (!WriteText(mask_path, "<p>" + value + "</p>\n")) break;
        ZRTHtmlFile file(template_path.c_str());
        code = file.CopyMaskFile(mask_path.c_str());
        expected = "<p>" + value + "</p>\n";
        break;
      }
    }
    const std::string actual = ReadText(template_path);
    if (code != kOk || actual != expected) {
      wrong.push_back(value + ": code " + std::to_string(code) + ", text \"" + actual + "\"");
    }
  }
  return wrong;
}

// Runs threads workers at once, each on its own templates; returns every wrong outcome.
std::vector<std::string> RunThreads(const std::string& prefix, int threads, int rounds) {
  std::vector<std::vector<std::string>> wrong(static_cast<std::size_t>(threads));
  std::vector<std::thread> workers;
  for (int index = 0; index < threads; ++index) {
    workers.emplace_back([&wrong, &prefix, index, rounds] {
      wrong[static_cast<std::size_t>(index)] =
          RewriteOwnTemplates(prefix + "-" + std::to_string(index), rounds);
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::vector<std::string> all;
  for (const std::vector<std::string>& list : wrong)
    all.insert(all.end(), list.begin(), list.end());
  return all;
}

TEST_F(ConcurrencyTest, ThreadsRewritingTheirOwnTemplatesKeepTheirTexts) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 150;
  for (const std::string& wrong : RunThreads("thread", kThreads, kRounds)) ADD_FAILURE() << wrong;
  EXPECT_TRUE(TempFiles().empty());
}

// Processes forked together seed rand with the same second and so draw the same temporary
// names; each also runs several threads.
TEST_F(ConcurrencyTest, ProcessesStartedInTheSameSecondKeepTheirTexts) {
  constexpr int kProcesses = 4;
  constexpr int kThreadsPerProcess = 4;
  constexpr int kRounds = 120;
  std::fflush(nullptr);
  std::vector<pid_t> children;
  for (int index = 0; index < kProcesses; ++index) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::vector<std::string> wrong =
          RunThreads("process" + std::to_string(index), kThreadsPerProcess, kRounds);
      for (const std::string& line : wrong) std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(nullptr);
      ::_exit(wrong.empty() ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << child;
  }
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace zrtmask
