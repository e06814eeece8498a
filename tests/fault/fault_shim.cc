// Test-only fault injection, preloaded (LD_PRELOAD) into a child process: makes chosen system
// calls fail for chosen paths, so that the rewrites meet a full disk, a failing write or a
// vanished file for real. Driven by the environment variable ZRTMASK_FAULTS, a list of entries
// "kind=path-part" separated by ';'. An entry applies to a call whose path (for a descriptor,
// the path it was opened with) contains path-part. Kinds:
//   statvfs_zero     statvfs succeeds with no byte free
//   statvfs_fail     statvfs fails (EIO)
//   write_enospc     write fails with ENOSPC
//   write_eio        write fails with EIO
//   open_write_eio   an open for writing fails with EIO
//   open_read_vanish an open for reading removes the file first, then fails with ENOENT
//   open_read_deny   an open for reading fails with EACCES, and so does access(R_OK)
//   open_read_eacces  an open for reading fails with EACCES (access still succeeds)
//   open_read_emfile  an open for reading fails with EMFILE
//   open_write_eacces an open for writing or creating fails with EACCES
//   open_write_emfile an open for writing or creating fails with EMFILE
//   unlink_fail       unlink fails with EBUSY
//   read_eio_later    a read fails with EIO unless it starts at the beginning of the file
// The opens are open, open64, openat, openat64, fopen and fopen64 (file streams use the last).
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// True when ZRTMASK_FAULTS holds an entry of kind whose path part occurs in path.
bool Armed(std::string_view kind, const char* path) {
  const char* faults = std::getenv("ZRTMASK_FAULTS");
  if (faults == nullptr || path == nullptr) return false;
  std::string_view rest(faults);
  while (!rest.empty()) {
    std::size_t end = rest.find(';');
    std::string_view entry = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (entry.size() > kind.size() && entry.substr(0, kind.size()) == kind &&
        entry[kind.size()] == '=' &&
        std::string_view(path).find(entry.substr(kind.size() + 1)) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

bool ArmedForDescriptor(std::string_view kind, int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  ssize_t length = ::readlink(link, target, sizeof target - 1);
  if (length < 0) return false;
  target[length] = '\0';
  return Armed(kind, target);
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

int Fail(int error) {
  errno = error;
  return -1;
}

template <typename Info>
int FakeStatvfs(const char* path, Info* info, int (*real)(const char*, Info*)) {
  if (Armed("statvfs_fail", path)) return Fail(EIO);
  int result = real(path, info);
  if (result == 0 && Armed("statvfs_zero", path)) {
    info->f_bavail = 0;
    info->f_bfree = 0;
  }
  return result;
}

// The errno that an open of path for reading (or else writing) is armed to fail with, or 0.
int OpenFailure(const char* path, bool for_reading) {
  if (for_reading) {
    if (Armed("open_read_vanish", path)) {
      using UnlinkFunction = int (*)(const char*);
      Next<UnlinkFunction>("unlink")(path);
      return ENOENT;
    }
    if (Armed("open_read_deny", path) || Armed("open_read_eacces", path)) return EACCES;
    if (Armed("open_read_emfile", path)) return EMFILE;
  } else {
    if (Armed("open_write_eio", path)) return EIO;
    if (Armed("open_write_eacces", path)) return EACCES;
    if (Armed("open_write_emfile", path)) return EMFILE;
  }
  return 0;
}

int FakeOpen(const char* path, int flags, mode_t mode, const char* real_name) {
  int error = OpenFailure(path, (flags & O_ACCMODE) == O_RDONLY);
  if (error != 0) return Fail(error);
  using OpenFunction = int (*)(const char*, int, ...);
  return Next<OpenFunction>(real_name)(path, flags, mode);
}

int FakeOpenAt(int directory, const char* path, int flags, mode_t mode, const char* real_name) {
  int error = OpenFailure(path, (flags & O_ACCMODE) == O_RDONLY);
  if (error != 0) return Fail(error);
  using OpenAtFunction = int (*)(int, const char*, int, ...);
  return Next<OpenAtFunction>(real_name)(directory, path, flags, mode);
}

FILE* FakeFopen(const char* path, const char* mode, const char* real_name) {
  const bool for_reading = mode != nullptr && mode[0] == 'r' && std::strchr(mode, '+') == nullptr;
  int error = OpenFailure(path, for_reading);
  if (error != 0) {
    errno = error;
    return nullptr;
  }
  using FopenFunction = FILE* (*)(const char*, const char*);
  return Next<FopenFunction>(real_name)(path, mode);
}

}  // namespace

extern "C" {

int statvfs(const char* path, struct statvfs* info) noexcept {
  using Function = int (*)(const char*, struct statvfs*);
  return FakeStatvfs(path, info, Next<Function>("statvfs"));
}

int statvfs64(const char* path, struct statvfs64* info) noexcept {
  using Function = int (*)(const char*, struct statvfs64*);
  return FakeStatvfs(path, info, Next<Function>("statvfs64"));
}

ssize_t write(int fd, const void* data, size_t size) {
  if (ArmedForDescriptor("write_enospc", fd)) return Fail(ENOSPC);
  if (ArmedForDescriptor("write_eio", fd)) return Fail(EIO);
  using Function = ssize_t (*)(int, const void*, size_t);
  return Next<Function>("write")(fd, data, size);
}

ssize_t read(int fd, void* data, size_t size) {
  if (ArmedForDescriptor("read_eio_later", fd) && ::lseek(fd, 0, SEEK_CUR) > 0) return Fail(EIO);
  using Function = ssize_t (*)(int, void*, size_t);
  return Next<Function>("read")(fd, data, size);
}

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return FakeOpen(path, flags, mode, "open");
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return FakeOpen(path, flags, mode, "open64");
}

int openat(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return FakeOpenAt(directory, path, flags, mode, "openat");
}

int openat64(int directory, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  va_end(arguments);
  return FakeOpenAt(directory, path, flags, mode, "openat64");
}

FILE* fopen(const char* path, const char* mode) { return FakeFopen(path, mode, "fopen"); }

FILE* fopen64(const char* path, const char* mode) { return FakeFopen(path, mode, "fopen64"); }

int unlink(const char* path) noexcept {
  if (Armed("unlink_fail", path)) return Fail(EBUSY);
  using Function = int (*)(const char*);
  return Next<Function>("unlink")(path);
}

int access(const char* path, int mode) noexcept {
  if ((mode & R_OK) != 0 && Armed("open_read_deny", path)) return Fail(EACCES);
  using Function = int (*)(const char*, int);
  return Next<Function>("access")(path, mode);
}

}  // extern "C"
