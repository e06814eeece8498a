// POSIX calls behind base/platform.h, and the fault seam of the tests.
#include "base/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zrtmask {

namespace {

// The armed faults. `armed` is the only thing an unarmed process reads.
struct Fault {
  Call kind;
  int remaining;  // calls to let through before the failing one; -1 once it has failed, -2: all
  int error;
  std::string path_part;
};

struct FaultSeam {
  std::atomic<bool> armed{false};
  std::mutex mutex;
  std::vector<Fault> faults;
  std::vector<std::pair<int, std::string>> descriptors;  // opened while armed
};

FaultSeam& Seam() {
  static FaultSeam* seam = new FaultSeam;  // never destroyed: usable to the process's end
  return *seam;
}

// The errno that this call of kind on path must fail with, or 0.
int InjectedError(Call kind, const char* path) {
  FaultSeam& seam = Seam();
  if (!seam.armed.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> lock(seam.mutex);
  const std::string text = path != nullptr ? path : "";
  for (Fault& fault : seam.faults) {
    if (fault.kind != kind || fault.remaining == -1) continue;
    if (!fault.path_part.empty() && text.find(fault.path_part) == std::string::npos) continue;
    if (fault.remaining == -2) return fault.error;
    if (fault.remaining-- == 0) return fault.error;
  }
  return 0;
}

// The same for a call on a descriptor, by the path it was opened with.
int InjectedError(Call kind, int fd) {
  FaultSeam& seam = Seam();
  if (!seam.armed.load(std::memory_order_acquire)) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(seam.mutex);
    for (const auto& [known, name] : seam.descriptors) {
      if (known == fd) path = name;
    }
  }
  return InjectedError(kind, path.c_str());
}

void NoteDescriptor(int fd, const char* path) {
  FaultSeam& seam = Seam();
  if (fd < 0 || !seam.armed.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(seam.mutex);
  seam.descriptors.emplace_back(fd, path);
}

void ForgetDescriptor(int fd) {
  FaultSeam& seam = Seam();
  if (!seam.armed.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(seam.mutex);
  for (auto it = seam.descriptors.begin(); it != seam.descriptors.end(); ++it) {
    if (it->first == fd) {
      seam.descriptors.erase(it);
      return;
    }
  }
}

int OpenRetrying(const char* path, int flags, mode_t mode, int* error) {
  if (path == nullptr) {
    *error = EFAULT;
    return -1;
  }
  if ((*error = InjectedError(Call::kOpen, path)) != 0) return -1;
  for (;;) {
    int fd = ::open(path, flags | O_CLOEXEC, mode);
    if (fd >= 0) {
      NoteDescriptor(fd, path);
      return fd;
    }
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

}  // namespace

void ArmFault(Call kind, int nth, int error, const char* path_part) {
  FaultSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mutex);
  seam.faults.push_back({kind, nth > 0 ? nth - 1 : -2, error, path_part != nullptr ? path_part : ""});
  seam.armed.store(true, std::memory_order_release);
}

void DisarmFaults() {
  FaultSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mutex);
  seam.faults.clear();
  seam.descriptors.clear();
  seam.armed.store(false, std::memory_order_release);
}

bool PathAccess(const char* path, int mode) {
  if (path == nullptr) return false;
  if (InjectedError(Call::kAccess, path) != 0) return false;
  int amode = F_OK;
  if (mode == 2) amode = W_OK;
  if (mode == 4) amode = R_OK;
  return ::access(path, amode) == 0;
}

std::uint64_t FreeBytes(const char* path, bool* ok) {
  struct statvfs info;
  if (path == nullptr || InjectedError(Call::kStatvfs, path) != 0 ||
      ::statvfs(path, &info) != 0) {
    *ok = false;
    return 0;
  }
  *ok = true;
  return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

int OpenForRead(const char* path, int* error) { return OpenRetrying(path, O_RDONLY, 0, error); }

int CreateExclusive(const char* path, unsigned mode, int* error) {
  return OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode), error);
}

int OpenForWriteExisting(const char* path, int* error) {
  return OpenRetrying(path, O_WRONLY, 0, error);
}

long ReadSome(int fd, char* buffer, std::size_t size, int* error) {
  if ((*error = InjectedError(Call::kRead, fd)) != 0) return -1;
  for (;;) {
    ssize_t count = ::read(fd, buffer, size);
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

bool WriteAll(int fd, const char* data, std::size_t size, int* error) {
  if ((*error = InjectedError(Call::kWrite, fd)) != 0) return false;
  while (size > 0) {
    ssize_t count = ::write(fd, data, size);
    if (count < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool TruncateFd(int fd, std::uint64_t length, int* error) {
  if ((*error = InjectedError(Call::kTruncate, fd)) != 0) return false;
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return true;
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
}

std::int64_t FileSize(int fd, std::uint64_t* allocated, int* error) {
  struct stat info;
  if ((*error = InjectedError(Call::kStat, fd)) != 0) return -1;
  if (::fstat(fd, &info) != 0) {
    *error = errno;
    return -1;
  }
  if (allocated != nullptr) *allocated = static_cast<std::uint64_t>(info.st_blocks) * 512;
  return static_cast<std::int64_t>(info.st_size);
}

bool ReserveSpace(int fd, std::uint64_t length, int* error) {
  if ((*error = InjectedError(Call::kReserve, fd)) != 0) return false;
  if (length == 0) return true;
  for (;;) {
    // posix_fallocate returns the error instead of setting errno.
    const int result = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (result == 0) return true;
    if (result != EINTR) {
      *error = result;
      return false;
    }
  }
}

bool LockFd(int fd, bool exclusive, int timeout_ms, int* error) {
  if ((*error = InjectedError(Call::kLock, fd)) != 0) return false;
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  // flock has no timeout of its own: the lock is tried again after a pause that grows from
  // 0.1 ms to 10 ms, so that a short wait costs little and a long one little CPU.
  long pause_ns = 100 * 1000;
  for (;;) {
    if (::flock(fd, operation) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      *error = errno;
      return false;
    }
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long waited_ms = (now.tv_sec - start.tv_sec) * 1000LL +
                                (now.tv_nsec - start.tv_nsec) / 1000000LL;
    if (waited_ms >= timeout_ms) {
      *error = EWOULDBLOCK;
      return false;
    }
    struct timespec pause = {0, pause_ns};
    ::nanosleep(&pause, nullptr);
    if (pause_ns < 10 * 1000 * 1000) pause_ns *= 2;
  }
}

bool CloseFd(int fd, int* error) {
  if (fd < 0) return true;
  ForgetDescriptor(fd);
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) == 0) return true;
  *error = errno;
  return false;
}

bool RemoveFile(const char* path, int* error) {
  if (path == nullptr) {
    *error = EFAULT;
    return false;
  }
  if ((*error = InjectedError(Call::kUnlink, path)) != 0) return false;
  if (::unlink(path) == 0) return true;
  *error = errno;
  return false;
}

bool IsDirectory(const char* path) {
  struct stat info;
  return path != nullptr && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool SameFile(const char* first, const char* second) {
  struct stat first_info;
  struct stat second_info;
  if (first == nullptr || second == nullptr) return false;
  if (::stat(first, &first_info) != 0 || ::stat(second, &second_info) != 0) return false;
  return first_info.st_dev == second_info.st_dev && first_info.st_ino == second_info.st_ino;
}

int CreateExclusiveWithMode(const char* path, unsigned mode, int* error) {
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL, 0600, error);
  if (fd < 0) return -1;
  // The umask narrowed the bits at creation; set them as asked.
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) {
    *error = errno;
    int ignored = 0;
    CloseFd(fd, &ignored);
    ::unlink(path);
    return -1;
  }
  return fd;
}

bool SyncFd(int fd, int* error) {
  // A flush reports the write errors that the writes themselves did not.
  if ((*error = InjectedError(Call::kWrite, fd)) != 0) return false;
  if ((*error = InjectedError(Call::kSync, fd)) != 0) return false;
  for (;;) {
    if (::fsync(fd) == 0) return true;
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
}

bool RenameFile(const char* from, const char* to, int* error) {
  if (from == nullptr || to == nullptr) {
    *error = EFAULT;
    return false;
  }
  if ((*error = InjectedError(Call::kRename, from)) != 0) return false;
  if (::rename(from, to) == 0) return true;
  *error = errno;
  return false;
}

bool SyncDirectory(const char* directory, int* error) {
  const int fd = OpenRetrying(directory, O_RDONLY | O_DIRECTORY, 0, error);
  if (fd < 0) return false;
  const bool synced = SyncFd(fd, error);
  int ignored = 0;
  CloseFd(fd, &ignored);
  return synced;
}

bool FileMode(const char* path, unsigned* mode) {
  struct stat info;
  if (path == nullptr || InjectedError(Call::kStat, path) != 0 || ::stat(path, &info) != 0) {
    return false;
  }
  *mode = static_cast<unsigned>(info.st_mode) & 07777u;
  return true;
}

long ProcessId() { return static_cast<long>(::getpid()); }

bool IsNoSpaceError(int error) {
#ifdef EDQUOT
  if (error == EDQUOT) return true;
#endif
  return error == ENOSPC;
}

bool IsNotWritableError(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ENOENT || error == ENOTDIR;
}

bool IsMissingError(int error) { return error == ENOENT || error == ENOTDIR; }

bool IsPermissionError(int error) { return error == EACCES || error == EPERM; }

bool IsExistsError(int error) { return error == EEXIST; }

int OpenDescriptor(const char* path, unsigned flags, unsigned mode, int* error) {
  int os_flags = (flags & kOpenReadWrite) != 0 ? O_RDWR : O_RDONLY;
  if ((flags & kOpenCreateExclusive) != 0) os_flags |= O_CREAT | O_EXCL;
  if ((flags & kOpenNoFollow) != 0) os_flags |= O_NOFOLLOW;
  const int fd = OpenRetrying(path, os_flags | O_NONBLOCK, static_cast<mode_t>(mode), error);
  if (fd < 0) return -1;
  // Reads and writes block as usual; only the open must not wait for a FIFO's other end.
  const int status_flags = ::fcntl(fd, F_GETFL);
  if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    int ignored = 0;
    CloseFd(fd, &ignored);
    return -1;
  }
  return fd;
}

namespace {

void FillStatus(const struct stat& info, FileStatus* status) {
  status->device = static_cast<std::uint64_t>(info.st_dev);
  status->inode = static_cast<std::uint64_t>(info.st_ino);
  status->size = static_cast<std::int64_t>(info.st_size);
  status->allocated = static_cast<std::uint64_t>(info.st_blocks) * 512;
  status->owner = static_cast<unsigned>(info.st_uid);
  status->permissions = static_cast<unsigned>(info.st_mode) & 07777u;
  status->regular = S_ISREG(info.st_mode);
  status->directory = S_ISDIR(info.st_mode);
}

}  // namespace

bool StatDescriptor(int fd, FileStatus* status, int* error) {
  if ((*error = InjectedError(Call::kStat, fd)) != 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    *error = errno;
    return false;
  }
  FillStatus(info, status);
  return true;
}

bool StatPath(const char* path, FileStatus* status, int* error) {
  if (path == nullptr) {
    *error = EFAULT;
    return false;
  }
  if ((*error = InjectedError(Call::kStat, path)) != 0) return false;
  struct stat info;
  if (::stat(path, &info) != 0) {
    *error = errno;
    return false;
  }
  FillStatus(info, status);
  return true;
}

unsigned EffectiveUserId() { return static_cast<unsigned>(::geteuid()); }

long ReadAt(int fd, char* buffer, std::size_t size, std::uint64_t offset, int* error) {
  if ((*error = InjectedError(Call::kRead, fd)) != 0) return -1;
  for (;;) {
    const ssize_t count = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset, int* error) {
  if ((*error = InjectedError(Call::kWrite, fd)) != 0) return false;
  while (size > 0) {
    const ssize_t count = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (count < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    data += count;
    offset += static_cast<std::uint64_t>(count);
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool RandomNumber(std::uint32_t* number, int* error) {
  if ((*error = InjectedError(Call::kRandom, "")) != 0) return false;
  for (;;) {
    const ssize_t count = ::getrandom(number, sizeof *number, 0);
    if (count == static_cast<ssize_t>(sizeof *number)) return true;
    if (count < 0 && errno == EINTR) continue;
    *error = count < 0 ? errno : EIO;
    return false;
  }
}

bool ListNames(const char* directory, std::vector<std::string>* names, int* error) {
  if ((*error = InjectedError(Call::kOpen, directory)) != 0) return false;
  DIR* stream = ::opendir(directory);
  if (stream == nullptr) {
    *error = errno;
    return false;
  }
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(stream);
  return true;
}

std::string ResolvedPath(const char* path) {
  char resolved[PATH_MAX];
  if (path == nullptr) return "";
  if (::realpath(path, resolved) == nullptr) return path;
  return resolved;
}

namespace {
std::atomic<StepHook> step_hook{nullptr};
}  // namespace

void SetStepHook(StepHook hook) { step_hook.store(hook, std::memory_order_release); }

void StepReached(const char* step) {
  const StepHook hook = step_hook.load(std::memory_order_acquire);
  if (hook != nullptr) hook(step);
}

}  // namespace zrtmask
