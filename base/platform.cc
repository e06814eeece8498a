// POSIX calls behind base/platform.h.
#include "base/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zrtmask {

namespace {

int OpenRetrying(const char* path, int flags, int* error) {
  if (path == nullptr) {
    *error = EFAULT;
    return -1;
  }
  for (;;) {
    int fd = ::open(path, flags | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

}  // namespace

bool PathAccess(const char* path, int mode) {
  if (path == nullptr) return false;
  int amode = F_OK;
  if (mode == 2) amode = W_OK;
  if (mode == 4) amode = R_OK;
  return ::access(path, amode) == 0;
}

std::uint64_t FreeBytes(const char* path, bool* ok) {
  struct statvfs info;
  if (path == nullptr || ::statvfs(path, &info) != 0) {
    *ok = false;
    return 0;
  }
  *ok = true;
  return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

int OpenForRead(const char* path, int* error) { return OpenRetrying(path, O_RDONLY, error); }

int CreateExclusive(const char* path, int* error) {
  return OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL, error);
}

int OpenForWriteTruncate(const char* path, int* error) {
  return OpenRetrying(path, O_WRONLY | O_CREAT | O_TRUNC, error);
}

int OpenForWriteExisting(const char* path, int* error) {
  return OpenRetrying(path, O_WRONLY, error);
}

long ReadSome(int fd, char* buffer, std::size_t size, int* error) {
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
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return true;
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
}

bool CloseFd(int fd, int* error) {
  if (fd < 0) return true;
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
  const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL, error);
  if (fd < 0) return -1;
  // The umask narrowed the bits at creation; set them as asked.
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) {
    *error = errno;
    ::close(fd);
    ::unlink(path);
    return -1;
  }
  return fd;
}

bool SyncFd(int fd, int* error) {
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
  if (::rename(from, to) == 0) return true;
  *error = errno;
  return false;
}

bool SyncDirectory(const char* directory, int* error) {
  const int fd = OpenRetrying(directory, O_RDONLY | O_DIRECTORY, error);
  if (fd < 0) return false;
  const bool synced = SyncFd(fd, error);
  ::close(fd);
  return synced;
}

bool FileMode(const char* path, unsigned* mode) {
  struct stat info;
  if (path == nullptr || ::stat(path, &info) != 0) return false;
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

}  // namespace zrtmask
