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

namespace zrtmask::cli {
namespace {

// Reads all of fd into bytes, at most limit bytes. Returns 0 or the errno value of the failed
// read (EFBIG beyond the limit).
int ReadAll(int fd, std::string& bytes, std::size_t limit = std::string::npos) {
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return 0;
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (static_cast<std::size_t>(count) > limit - bytes.size()) return EFBIG;
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

// What ReadValueFile answers for a file that is not a regular file.
constexpr int kNotRegular = -1;

// Reads the value file at path: a regular file only (a FIFO could make the open or the read
// wait for ever, a device never end), and no more than its size and a block, should it grow.
// Returns 0, kNotRegular, or the errno value of the failure.
int ReadValueFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info;
  int error = ::fstat(fd, &info) != 0 ? errno : 0;
  if (error == 0 && !S_ISREG(info.st_mode)) error = kNotRegular;
  const int flags = error == 0 ? ::fcntl(fd, F_GETFL) : 0;
  if (error == 0 && (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) error = errno;
  if (error == 0) {
    const std::size_t limit = static_cast<std::size_t>(info.st_size) + 65536;
    error = ReadAll(fd, bytes, limit);
  }
  ::close(fd);
  return error;
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  if (path == "-") return ReadAll(STDIN_FILENO, bytes);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A device (such as /dev/zero) may never end: memory would grow without bound.
  struct stat info;
  int error = ::fstat(fd, &info) != 0 ? errno : 0;
  if (error == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))) error = ENODEV;
  if (error == 0) error = ReadAll(fd, bytes);
  ::close(fd);
  return error;
}

int ReadValue(const std::string& argument, bool from_file, std::string& bytes) {
  if (!from_file && argument != "-") {
    bytes = argument;
    return 0;
  }
  const int error =
      argument == "-" ? ReadWholeFile(argument, bytes) : ReadValueFile(argument, bytes);
  if (error != 0) {
    PrintError(DisplayName(argument), error == kNotRegular ? "not a regular file (a FIFO, a "
                                                             "device or a directory)"
                                                           : std::strerror(error));
    return kExitNoInput;
  }
  // A NUL byte would end the value in the template, dropping what follows it.
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string::npos) {
    PrintError(DisplayName(argument),
               "holds a NUL byte at offset " + std::to_string(nul) + "; a value cannot hold one");
    return kExitDataError;
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
  if (configured == nullptr || *configured == '\0') return "c:/temp/";
  std::string directory = configured;
  if (directory.back() != '/') directory += '/';
  return directory;
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

}  // namespace zrtmask::cli
