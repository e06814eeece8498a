// Helpers shared by the unit tests: a fresh working directory per test, file contents as
// strings, and code run in a child process, as root or as an unprivileged user.
#ifndef ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_
#define ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"

namespace zrtmask::testing {

// Writes bytes to path (creating or emptying it); fails the test on error.
void WriteFile(const std::string& path, const std::string& bytes);
// The bytes of path, "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Names of the entries in directory, sorted.
std::vector<std::string> ListDirectory(const std::string& directory);
// The texts of the files left in c:/temp/, which are then removed.
std::vector<std::string> TakeTempTexts();

// Gives each test a fresh working directory, open to every user, holding "c:/temp/".
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& scratch() const { return scratch_; }

 private:
  std::string scratch_;
  std::string previous_;
};

// Runs body in a forked child, as the user "nobody" when unprivileged (so that permission bits
// apply even to root). Returns what body returns (0-254), or -1 when the child crashed or could
// not drop its privileges.
int RunInChild(const std::function<int()>& body, bool unprivileged = false);
// Runs body in a child that has mounted a tmpfs of 64 KB on directory, in a mount namespace of
// its own: the disk really runs out of space. Returns body's result, 250 when the mount failed.
int RunOnSmallDisk(const char* directory, const std::function<int()>& body);

// Every operation on a template, by group, each with arguments that change kTemplate.
enum Group { kItem = 1, kMarker = 2, kCopy = 4, kQuery = 8 };
struct Operation {
  const char* label;
  Group group;
  std::function<int(ZRTHtmlFile&)> run;  // the copy takes its mask from "m.html"
  const char* disk_full_message;         // traced when the temporary disk is full
};
const std::vector<Operation>& Operations();
extern const char kTemplate[];

// Runs the program with args and input on its standard input, in the working directory, which
// must hold "c:".
struct ProgramRun {
  int status = -1;  // exit status, -1 when it did not exit
  std::string out, err;
};
ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::string& input = "");

}  // namespace zrtmask::testing

#endif  // ZRTMASK_TESTS_TESTING_TEST_SUPPORT_H_
