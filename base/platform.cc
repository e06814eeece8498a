// POSIX calls behind base/platform.h, and the fault seam of the tests.
#include "base/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
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
  int unknown_closes = 0;  // descriptors closed while armed that were not opened then
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
  ++seam.unknown_closes;
}

// openat(2), retried on EINTR, through the seam's open faults (by name).
int OpenAtRetrying(int dir_fd, const char* name, int flags, mode_t mode, int* error) {
  if (name == nullptr) {
    *error = EFAULT;
    return -1;
  }
  if ((*error = InjectedError(Call::kOpen, name)) != 0) return -1;
  for (;;) {
    const int fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
    if (fd >= 0) {
      NoteDescriptor(fd, name);
      return fd;
    }
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

// open(2), likewise: relative to the working directory.
int OpenRetrying(const char* path, int flags, mode_t mode, int* error) {
  return OpenAtRetrying(AT_FDCWD, path, flags, mode, error);
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
  seam.unknown_closes = 0;
  seam.armed.store(false, std::memory_order_release);
}

void WatchDescriptors() { Seam().armed.store(true, std::memory_order_release); }

int UnknownDescriptorsClosed() {
  FaultSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mutex);
  return seam.unknown_closes;
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
  status->group = static_cast<unsigned>(info.st_gid);
  status->mode = static_cast<unsigned>(info.st_mode) & 07777u;
  status->regular = S_ISREG(info.st_mode);
  status->directory = S_ISDIR(info.st_mode);
  status->symlink = S_ISLNK(info.st_mode);
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

// ---------------------------------------------------------------------------------------------
// Publishing through descriptors.
namespace zrtmask {

namespace {

}  // namespace

int OpenForReadNonBlocking(const char* path, int* error) {
  const int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK, 0, error);
  if (fd < 0) return -1;
  // Reads of a regular file never block; what is not one is refused by the caller.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int OpenDirectory(const char* directory, int* error) {
  return OpenRetrying(directory, O_RDONLY | O_DIRECTORY, 0, error);
}

bool StatAt(int dir_fd, const char* name, bool follow_links, FileStatus* status, int* error) {
  struct stat info;
  if (::fstatat(dir_fd, name, &info, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    *error = errno;
    return false;
  }
  FillStatus(info, status);
  return true;
}

int OpenForReadAt(int dir_fd, const char* name, int* error) {
  return OpenAtRetrying(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, error);
}

int CreateUnnamedIn(int dir_fd, int* error) {
#ifdef O_TMPFILE
  // The seam knows this call by the name "(unnamed)".
  if ((*error = InjectedError(Call::kOpen, "(unnamed)")) != 0) return -1;
  return OpenAtRetrying(dir_fd, ".", O_WRONLY | O_TMPFILE, 0600, error);
#else
  *error = EOPNOTSUPP;
  return -1;
#endif
}

bool LinkUnnamed(int fd, int dir_fd, const char* name, int* error) {
  if ((*error = InjectedError(Call::kOpen, name)) != 0) return false;
  // Linking by descriptor (AT_EMPTY_PATH) needs a privilege (CAP_DAC_READ_SEARCH); without it,
  // the descriptor's entry under /proc/self/fd links the same file for anyone who could write it.
  if (::linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0) return true;
  *error = errno;
  if (*error != ENOENT && *error != EPERM) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), dir_fd, name, AT_SYMLINK_FOLLOW) == 0) return true;
  *error = errno;
  return false;
}

int CreateExclusiveAt(int dir_fd, const char* name, int* error) {
  return OpenAtRetrying(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, error);
}

bool RenameAt(int dir_fd, const char* from, const char* to, int* error) {
  if (::renameat(dir_fd, from, dir_fd, to) == 0) return true;
  *error = errno;
  return false;
}

bool RemoveAt(int dir_fd, const char* name, int* error) {
  if ((*error = InjectedError(Call::kUnlink, name)) != 0) return false;
  if (::unlinkat(dir_fd, name, 0) == 0) return true;
  *error = errno;
  return false;
}

bool ChangeModeFd(int fd, unsigned mode, int* error) {
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777u)) == 0) return true;
  *error = errno;
  return false;
}

bool ChangeOwnerFd(int fd, unsigned owner, unsigned group, int* error) {
  if (::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0) return true;
  *error = errno;
  return false;
}

bool WriteSpans(int fd, const ByteSpan* spans, std::size_t count, int* error) {
  if ((*error = InjectedError(Call::kWrite, fd)) != 0) return false;
  constexpr std::size_t kGroup = 512;  // below every system's IOV_MAX (1024 on Linux)
  struct iovec vector[kGroup];
  std::size_t next = 0;           // the first span not yet handed to the kernel
  std::size_t done_in_first = 0;  // bytes of spans[next] written already
  while (next < count) {
    std::size_t used = 0;
    for (std::size_t i = next; i < count && used < kGroup; ++i) {
      const std::size_t skip = i == next ? done_in_first : 0;
      vector[used].iov_base = const_cast<char*>(spans[i].data + skip);  // NOLINT: writev's type
      vector[used].iov_len = spans[i].size - skip;
      ++used;
    }
    const ssize_t written = ::writev(fd, vector, static_cast<int>(used));
    if (written < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    // Steps over what was written, span by span.
    std::size_t left = static_cast<std::size_t>(written);
    while (next < count && left >= spans[next].size - done_in_first) {
      left -= spans[next].size - done_in_first;
      done_in_first = 0;
      ++next;
    }
    done_in_first += left;
  }
  return true;
}

bool MakeDirectory(const char* path, unsigned mode, int* error) {
  if ((*error = InjectedError(Call::kOpen, path)) != 0) return false;
  if (::mkdir(path, static_cast<mode_t>(mode)) == 0) return true;
  *error = errno;
  struct stat info;
  return *error == EEXIST && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool ListNames(int dir_fd, void (*take)(const char* name, void* context), void* context,
               int* error) {
  // fdopendir takes the descriptor it is given: a copy of its own, so that dir_fd stays open.
  const int copy = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) {
    *error = errno;
    return false;
  }
  DIR* listing = ::fdopendir(copy);
  if (listing == nullptr) {
    *error = errno;
    ::close(copy);
    return false;
  }
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") take(entry->d_name, context);
  }
  ::closedir(listing);
  return true;
}

bool SyncFileSystem(int fd, int* error) {
  if ((*error = InjectedError(Call::kWrite, fd)) != 0) return false;
  if (::syncfs(fd) == 0) return true;
  *error = errno;
  return false;
}

bool ProcessExists(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH);
}

bool RunsAsRoot() { return ::geteuid() == 0; }

bool IsUnsupportedError(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

bool CannotLockError(int error) {
  return error == ENOLCK || error == EBADF || error == EINVAL || error == EOPNOTSUPP;
}

bool StandardErrorIsTerminal() { return ::isatty(2) == 1; }

long PeakResidentKib() {
  struct rusage usage;
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

}  // namespace zrtmask
