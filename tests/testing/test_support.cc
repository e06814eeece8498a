// Helpers shared by the unit tests.
#include "testing/test_support.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zrtmask::testing {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_FALSE(out.fail()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
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

std::vector<std::string> TakeTempTexts() {
  std::vector<std::string> texts;
  for (const std::string& name : ListDirectory("c:/temp")) {
    if (name[0] == '.') {  // a copy-back record: removed, its text is no temporary file's
      ::unlink(("c:/temp/" + name).c_str());
      continue;
    }
    texts.push_back(ReadFile("c:/temp/" + name));
    ::unlink(("c:/temp/" + name).c_str());
  }
  return texts;
}

void ScratchDirTest::SetUp() {
  char pattern[] = "/tmp/zrtmask-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  scratch_ = pattern;
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(scratch_);
  // c:/temp/ is sticky, as a folder open to every user must be for the temporary files.
  for (const char* directory : {".", "c:", "c:/temp"}) {
    ::mkdir(directory, 0777);
    ASSERT_EQ(::chmod(directory, std::string(directory) == "c:/temp" ? 01777 : 0777), 0);
  }
}

void ScratchDirTest::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code error;
  // Give back permissions that a test took away, so that everything can be removed.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch_, error)) {
    ::chmod(entry.path().c_str(), 0777);
  }
  std::filesystem::remove_all(scratch_, error);
}

int RunInChild(const std::function<int()>& body, bool unprivileged) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const unsigned nobody = 65534;
    if (unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
      ::_exit(255);
    }
    const int result = body();
    std::fflush(nullptr);
    ::_exit(result & 0xff);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

int RunOnSmallDisk(const char* directory, const std::function<int()>& body) {
  return RunInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", directory, "tmpfs", 0, "size=65536") != 0) {
      return 250;
    }
    return body();
  });
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"view", kItem, [](ZRTHtmlFile& f) { return f.SetZRTViewName("N"); }, ""},
      {"tag", kItem, [](ZRTHtmlFile& f) { return f.SetZRTTagContent("S", "C"); },
       "disk full : ZRTHtmlFile::SetZRTTagContent ...\n"},
      {"dump", kItem, [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("S", "C"); },
       "Disk full : ZRTHtmlFile::dump ...\n"},
      {"image", kItem, [](ZRTHtmlFile& f) { return f.SetZRTImageName("i", 1, 2); }, ""},
      {"start", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTStart("v"); }, ""},
      {"annot", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTAnnotations("v"); }, ""},
      {"url", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTURL("v"); }, ""},
      {"db", kMarker, [](ZRTHtmlFile& f) { return f.SetZRTDBAccess("v"); }, ""},
      {"copy", kCopy, [](ZRTHtmlFile& f) { return f.CopyMaskFile("m.html"); }, ""},
      {"view name", kQuery, [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTViewName(&s); }, ""},
      {"content", kQuery, [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTTagContent("S", &s); }, ""},
      {"path", kQuery, [](ZRTHtmlFile& f) { ZRTUnicodeString s; return f.GetZRTPath(&s); }, ""},
      {"tags", kQuery, [](ZRTHtmlFile& f) { ZRTListValZRTUnicodeString l; return f.GetAllZRTTag(&l); }, ""},
  };
  return operations;
}

const char kTemplate[] =
    "<html>\n<ZRTViewName><title>t</title></ZRTViewName>\n<S>old</S>\n<ZRTImage><img src=a>"
    "</ZRTImage>\n<QLXSTART><QLXANNOT>\n<QLXURL><QLXDBACCESS>\n</html>\n";

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                      const std::string& input) {
  // The shell runs it with standard input and standard error in files in "c:".
  std::string command = "'" + path + "'";
  for (const std::string& arg : args) {
    command += " '";
    for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  WriteFile("c:/stdin", input);
  ProgramRun run;
  std::fflush(nullptr);
  std::FILE* out = ::popen((command + " <c:/stdin 2>c:/stderr").c_str(), "r");
  char buffer[4096];
  for (std::size_t count; out != nullptr && (count = std::fread(buffer, 1, sizeof buffer, out)) > 0;) {
    run.out.append(buffer, count);
  }
  const int status = out == nullptr ? -1 : ::pclose(out);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadFile("c:/stderr");
  return run;
}

}  // namespace zrtmask::testing
