// Whole-file reads and writes for the tool, with errno values for its messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "tools/tool.h"

namespace zrtmask {
namespace {

// Reads all of fd into bytes. Returns 0 or the errno value of the failed read.
int ReadAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return 0;
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  if (path == "-") return ReadAll(STDIN_FILENO, bytes);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = ReadAll(fd, bytes);
  ::close(fd);
  return error;
}

int ReadValue(const std::string& argument, bool from_file, std::string& bytes) {
  if (!from_file && argument != "-") {
    bytes = argument;
    return 0;
  }
  const int error = ReadWholeFile(argument, bytes);
  if (error != 0) {
    PrintError(DisplayName(argument), std::strerror(error));
    return kExitNoInput;
  }
  // One final line end belongs to the file, not to the value.
  if (!bytes.empty() && bytes.back() == '\n') {
    bytes.pop_back();
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  }
  return 0;
}

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return 0;
}

int WriteNewFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = WriteAll(fd, bytes);
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

std::string CurrentDirectory() {
  std::error_code error;
  std::string directory = std::filesystem::current_path(error).string();
  return error ? std::string(".") : directory;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return CurrentDirectory() + "/" + path;
}

std::string TempDirectory() {
  const char* configured = std::getenv("ZRTMASK_TEMP_DIR");
  return configured != nullptr && *configured != '\0' ? configured : "c:/temp";
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  if (!path_.empty()) std::filesystem::remove_all(path_, error);
}

int ScratchDirectory::Create() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zrtmask-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return errno;
  path_ = pattern;
  if (::mkdir((path_ + "/c:").c_str(), 0700) != 0) return errno;
  if (::mkdir((path_ + "/c:/temp").c_str(), 0700) != 0) return errno;
  return 0;
}

}  // namespace zrtmask
