// Helpers shared by the unit tests.
#include "testing/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "zrtmask_result.h"

namespace zrtmask::testing {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_FALSE(out.fail()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListDirectory(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void ScratchDirTest::SetUp() {
  char pattern[] = "/tmp/zrtmask-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  scratch_ = pattern;
  // Open to everyone, so that a child running as an unprivileged user can work here too.
  ASSERT_EQ(::chmod(scratch_.c_str(), 0777), 0);
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(scratch_);
  ASSERT_EQ(::mkdir("c:", 0777), 0);
  ASSERT_EQ(::mkdir("c:/temp", 0777), 0);
  ASSERT_EQ(::chmod("c:", 0777), 0);
  ASSERT_EQ(::chmod("c:/temp", 0777), 0);
}

void ScratchDirTest::TearDown() {
  if (!previous_.empty()) std::filesystem::current_path(previous_);
  if (!scratch_.empty()) {
    std::error_code error;
    // Restore permissions that a test took away, so that everything can be removed.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             scratch_, std::filesystem::directory_options::skip_permission_denied, error)) {
      ::chmod(entry.path().c_str(), entry.is_directory() ? 0777 : 0666);
    }
    std::filesystem::remove_all(scratch_, error);
  }
}

int RunUnprivileged(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const gid_t nobody_group = 65534;
    const uid_t nobody_user = 65534;
    if (::setgroups(0, nullptr) != 0 && ::geteuid() == 0) ::_exit(255);
    if (::getegid() == 0 && ::setgid(nobody_group) != 0) ::_exit(255);
    if (::geteuid() == 0 && ::setuid(nobody_user) != 0) ::_exit(255);
    if (::geteuid() == 0) ::_exit(255);
    int result = body();
    std::fflush(nullptr);
    ::_exit(result & 0xff);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  if (!WIFEXITED(status)) return -1;
  int code = WEXITSTATUS(status);
  return code == 255 ? -1 : code;
}

int RunInChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int result = body();
    std::fflush(nullptr);
    ::_exit(result & 0xff);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string FoldLineFeeds(const std::string& text) {
  std::string folded;
  for (char byte : text) {
    if (byte == '\n' && !folded.empty() && folded.back() == '\n') continue;
    folded += byte;
  }
  return folded;
}

std::vector<std::string> TakeTempTexts() {
  std::vector<std::string> texts;
  for (const std::string& name : ListDirectory("c:/temp")) {
    texts.push_back(ReadFile("c:/temp/" + name));
    ::unlink(("c:/temp/" + name).c_str());
  }
  return texts;
}

const char kItemTemplate[] =
    "<html>\n<ZRTViewName><title>t</title></ZRTViewName>\n<S>old</S>\n"
    "<ZRTImage><img src=a></ZRTImage>\n</html>\n";

const std::vector<Rewrite>& ItemRewrites() {
  static const std::vector<Rewrite> rewrites = {
      {"view", [](ZRTHtmlFile& file) { return file.SetZRTViewName("N"); }},
      {"tag", [](ZRTHtmlFile& file) { return file.SetZRTTagContent("S", "C"); }},
      {"dump", [](ZRTHtmlFile& file) { return file.dumpZRTTagContent("S", "C"); }},
      {"image", [](ZRTHtmlFile& file) { return file.SetZRTImageName("i", 1, 2); }},
  };
  return rewrites;
}

std::string NewText(const Rewrite& rewrite, const std::string& template_text) {
  WriteFile("clean.html", template_text);
  ZRTHtmlFile file("clean.html");
  EXPECT_EQ(rewrite.run(file), kOk);
  std::string text = ReadFile("clean.html");
  ::unlink("clean.html");
  return text;
}

int RunWithFaults(const std::vector<Injected>& faults, const Rewrite& rewrite,
                  const std::string& template_path) {
  for (const Injected& fault : faults) ArmFault(fault.kind, fault.nth, fault.error, fault.path_part);
  ZRTHtmlFile file(template_path.c_str());
  const int code = rewrite.run(file);
  DisarmFaults();
  return code;
}

}  // namespace zrtmask::testing
