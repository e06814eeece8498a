// Helpers shared by the unit tests: a fresh working directory per test, file contents as
// strings, and running code as an unprivileged user.
#ifndef ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_
#define ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/platform.h"

namespace zrtmask::testing {

// Writes bytes to path (creating or emptying it). Fails the test on error.
void WriteFile(const std::string& path, const std::string& bytes);
// The bytes of path; fails the test (and returns "") when it cannot be read.
std::string ReadFile(const std::string& path);
// True when path exists.
bool FileExists(const std::string& path);
// Names of the entries in directory (without "." and ".."), sorted.
std::vector<std::string> ListDirectory(const std::string& directory);

// Gives each test a fresh, empty working directory holding "c:/temp/", and returns to the
// previous one afterwards. Tests use relative paths inside it.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Absolute path of the scratch directory.
  const std::string& scratch() const { return scratch_; }
  // The files left in c:/temp/ (temporary files that a rewrite did not remove).
  std::vector<std::string> TempFiles() const { return ListDirectory("c:/temp"); }

 private:
  std::string scratch_;
  std::string previous_;
};

// Runs body in a forked child that has dropped root privileges to the user "nobody" (or uid
// 65534), so that permission bits apply even when the tests run as root. Returns the value the
// body returns (0-255), or -1 when the child could not drop privileges or crashed.
int RunUnprivileged(const std::function<int()>& body);

// Runs body in a forked child; returns what it returns (0-255), or -1 when the child crashed.
int RunInChild(const std::function<int()>& body);

// text with every run of line feeds folded into one, as the copy back of an item rewrite does.
std::string FoldLineFeeds(const std::string& text);

// The texts of the files left in c:/temp/, which are then removed.
std::vector<std::string> TakeTempTexts();

// A rewrite operation, run on a template object.
struct Rewrite {
  const char* label;
  std::function<int(ZRTHtmlFile&)> run;
};

// A template in which each of the four item rewrites has something to change, and those four.
extern const char kItemTemplate[];
const std::vector<Rewrite>& ItemRewrites();

// The text that rewrite gives template_text when nothing fails (via a scratch file).
std::string NewText(const Rewrite& rewrite, const std::string& template_text);

// A fault for the platform layer's seam: the nth call (0: every call) of kind on a path
// containing path_part fails with error.
struct Injected {
  Call kind;
  const char* path_part;
  int error;
  int nth = 1;
};

// Runs rewrite on template_path with the faults armed, and returns its code.
int RunWithFaults(const std::vector<Injected>& faults, const Rewrite& rewrite,
                  const std::string& template_path);

}  // namespace zrtmask::testing

#endif  // ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_
