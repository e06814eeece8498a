// The thin layer over the operating system: file descriptors, access tests, free space, locks.
// platform.cc is the only file that includes POSIX headers. errno is read right after the call
// that set it; EINTR is retried; every descriptor is opened with O_CLOEXEC. Every call goes
// through a fault seam that tests can arm (ArmFault); unarmed it costs one atomic load.
#ifndef ZRTMASK_BASE_PLATFORM_H_
#define ZRTMASK_BASE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zrtmask {

// access(2) with mode 0 (exists), 2 (writable) or 4 (readable): true when it succeeds.
bool PathAccess(const char* path, int mode);

// Bytes free to the caller on the file system holding path (statvfs: f_bavail * f_frsize).
// Sets *ok to false, and returns 0, when the query fails.
std::uint64_t FreeBytes(const char* path, bool* ok);

// Opens path for reading. Returns the descriptor, or -1 with the errno in *error.
// A directory opens, and its first read fails with EISDIR.
int OpenForRead(const char* path, int* error);
// Creates path for writing only if it does not exist yet (O_CREAT | O_EXCL, mode less the
// umask). Returns the descriptor, or -1 with the errno in *error (EEXIST when it exists).
int CreateExclusive(const char* path, unsigned mode, int* error);
// Opens path for writing without emptying or creating it.
int OpenForWriteExisting(const char* path, int* error);

// Reads up to size bytes. Returns the count (0 at the end), or -1 with the errno in *error.
long ReadSome(int fd, char* buffer, std::size_t size, int* error);
// Writes all size bytes. Returns true, or false with the errno in *error.
bool WriteAll(int fd, const char* data, std::size_t size, int* error);
// Truncates the open file to length bytes. Returns true, or false with the errno in *error.
bool TruncateFd(int fd, std::uint64_t length, int* error);
// The size of the open file, or -1 with the errno in *error; *allocated (when not null) gets
// the bytes of disk space that it holds (st_blocks * 512).
std::int64_t FileSize(int fd, std::uint64_t* allocated, int* error);
// Makes sure that the first length bytes of the open file have disk space (posix_fallocate):
// later writes within them cannot run out of space. The bytes already there are kept; the file
// may grow to length. Returns true, or false with the errno in *error (EOPNOTSUPP, ENODEV,
// ESPIPE or EINVAL when the file cannot reserve space at all).
bool ReserveSpace(int fd, std::uint64_t length, int* error);
// Takes a flock(2) lock on fd, shared or exclusive, waiting at most timeout_ms milliseconds.
// The lock belongs to the open file description: another descriptor opened on the same file
// (in this thread, another thread or another process) is kept out. Closing fd releases it.
// Returns true, or false with the errno in *error (EWOULDBLOCK when the time ran out).
bool LockFd(int fd, bool exclusive, int timeout_ms, int* error);
// Closes fd (ignored when negative). Returns true, or false with the errno in *error (a close
// can report a delayed write error).
bool CloseFd(int fd, int* error);
// Removes path. Returns true, or false with the errno in *error.
bool RemoveFile(const char* path, int* error);

// True when path names a directory.
bool IsDirectory(const char* path);
// True when both paths name the same file (same device and inode).
bool SameFile(const char* first, const char* second);

// The fault seam, for tests only (not exported from the shared library). ArmFault makes the
// nth call (1 = the next one; 0 = every call) of kind fail with errno error; when path_part is not empty, only
// calls on a path containing it count (for the calls on a descriptor: the path it was opened
// with, known for descriptors opened while a fault is armed). A failed statvfs counts the disk
// as full. Several faults may be armed at once; DisarmFaults clears them all.
enum class Call {
  kOpen,
  kRead,
  kWrite,
  kStatvfs,
  kAccess,
  kUnlink,
  kTruncate,
  kReserve,
  kLock,
  kStat,
  kRename,
  kSync,
  kRandom,
};
void ArmFault(Call kind, int nth, int error, const char* path_part = "");
void DisarmFaults();
// Armed, the seam also notes each descriptor opened and closed: WatchDescriptors arms it without
// a fault, and UnknownDescriptorsClosed counts the closes of descriptors not opened since (one
// closed twice, which in a threaded program closes another thread's file).
void WatchDescriptors();
int UnknownDescriptorsClosed();

// For publishing a file atomically (a new file beside it, flushed, renamed over it).
// Creates path for writing only if it does not exist yet, with exactly the permission bits mode
// (the umask does not apply). Returns the descriptor, or -1 with the errno in *error.
int CreateExclusiveWithMode(const char* path, unsigned mode, int* error);
// Flushes the open file's data to its disk (fsync). Returns true, or false with the errno.
bool SyncFd(int fd, int* error);
// Renames from over to (rename(2), atomic within one file system). Returns true, or false with
// the errno in *error.
bool RenameFile(const char* from, const char* to, int* error);
// Flushes directory's entries (names created or renamed in it) to disk. Returns true, or false
// with the errno in *error.
bool SyncDirectory(const char* directory, int* error);
// The permission bits (07777) of the file at path, following links. Returns false when it
// cannot be examined (it does not exist, say).
bool FileMode(const char* path, unsigned* mode);
// The calling process's id, to tell apart names drawn by different processes.
long ProcessId();
// True when error says that a disk or quota is full.
bool IsNoSpaceError(int error);
// True when error says that a path cannot be written for its permissions, a read-only file
// system, or a missing directory.
bool IsNotWritableError(int error);
// True when error says that a path does not exist.
bool IsMissingError(int error);
// True when error says that a path exists but its permissions forbid the access.
bool IsPermissionError(int error);
// True when error says that a file to be created exists already.
bool IsExistsError(int error);

// Calls on the one descriptor that a rewrite, a query or a recovery holds on each file.

// Flags of OpenDescriptor, combined as bits.
enum OpenFlag : unsigned {
  kOpenRead = 0,             // for reading only
  kOpenReadWrite = 1,        // for reading and writing
  kOpenCreateExclusive = 2,  // create it; EEXIST when the name exists (a link included)
  kOpenNoFollow = 4,         // ELOOP when the name is a symbolic link
};
// Opens path (O_CLOEXEC, and O_NONBLOCK for the open only, so that opening a FIFO cannot
// hang). A file created gets mode less the umask. Returns the descriptor, or -1 with the errno.
int OpenDescriptor(const char* path, unsigned flags, unsigned mode, int* error);

// What fstat/stat tell of a file.
struct FileStatus {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::uint64_t allocated = 0;  // bytes of disk space held (st_blocks * 512)
  unsigned owner = 0;           // user id
  unsigned group = 0;           // group id
  unsigned mode = 0;            // permission bits, 07777
  bool regular = false;
  bool directory = false;
  bool symlink = false;  // only from StatAt with follow_links false
};
// The status of the open file. Returns true, or false with the errno in *error.
bool StatDescriptor(int fd, FileStatus* status, int* error);
// The status of the file at path, following links. Returns true, or false with the errno.
bool StatPath(const char* path, FileStatus* status, int* error);
// The effective user id of the process.
unsigned EffectiveUserId();

// pread: up to size bytes at offset. Returns the count (0 at the end), or -1 with the errno.
long ReadAt(int fd, char* buffer, std::size_t size, std::uint64_t offset, int* error);
// pwrite: all size bytes at offset. Returns true, or false with the errno in *error.
bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset, int* error);
// A number from the kernel's random source (getrandom). Returns true, or false with the errno.
bool RandomNumber(std::uint32_t* number, int* error);

// The names in directory, but "." and "..". Returns true, or false with the errno in *error.
bool ListNames(const char* directory, std::vector<std::string>* names, int* error);
// The absolute path of path with every link resolved (realpath), or path itself when that
// fails.
std::string ResolvedPath(const char* path);

// The test hook called at the named steps of a rewrite (StepReached); null for none. For tests
// only: it lets a test stop a child process, or swap a name, between two steps.
using StepHook = void (*)(const char* step);
void SetStepHook(StepHook hook);
void StepReached(const char* step);

}  // namespace zrtmask

// ---------------------------------------------------------------------------------------------
// Publishing through descriptors: a page's folder is opened once and every name in it is reached
// relative to that descriptor, so that a name swapped meanwhile redirects nothing.
namespace zrtmask {

// A span of bytes for WriteSpans.
struct ByteSpan {
  const char* data;
  std::size_t size;
};

// Opens path for reading without blocking on a FIFO or a device (O_NONBLOCK, cleared again for a
// regular file). Returns the descriptor, or -1 with the errno in *error.
int OpenForReadNonBlocking(const char* path, int* error);
// Opens directory (following links) as a descriptor for the calls below. -1 with *error.
int OpenDirectory(const char* directory, int* error);
// fstatat(2) of name in the folder dir_fd; a link is reported as a link unless follow_links.
bool StatAt(int dir_fd, const char* name, bool follow_links, FileStatus* status, int* error);
// Opens name in dir_fd for reading, refusing a link (O_NOFOLLOW) and never blocking on a FIFO.
int OpenForReadAt(int dir_fd, const char* name, int* error);
// Creates an unnamed file (O_TMPFILE) in dir_fd, mode 0600, for writing. -1 with *error;
// IsUnsupportedError(*error) when the file system (or kernel) cannot. The fault seam knows this
// call by the path "(unnamed)".
int CreateUnnamedIn(int dir_fd, int* error);
// Gives the unnamed file fd the name name in dir_fd (linkat). Fails with EEXIST when taken.
bool LinkUnnamed(int fd, int dir_fd, const char* name, int* error);
// Creates name in dir_fd exclusively, without following a link, mode 0600. -1 with *error.
int CreateExclusiveAt(int dir_fd, const char* name, int* error);
// renameat(2) within dir_fd: from replaces to (a link at to is replaced, not followed).
bool RenameAt(int dir_fd, const char* from, const char* to, int* error);
// unlinkat(2) of a file name in dir_fd.
bool RemoveAt(int dir_fd, const char* name, int* error);
// fchmod(2) and fchown(2).
bool ChangeModeFd(int fd, unsigned mode, int* error);
bool ChangeOwnerFd(int fd, unsigned owner, unsigned group, int* error);
// Writes every span in order (writev, in groups the kernel takes, resumed after a short write).
bool WriteSpans(int fd, const ByteSpan* spans, std::size_t count, int* error);
// mkdir(2) with mode (less the umask). True also when a directory is there already.
bool MakeDirectory(const char* path, unsigned mode, int* error);
// The names in the folder dir_fd (not "." and ".."), read through a descriptor of its own.
bool ListNames(int dir_fd, void (*take)(const char* name, void* context), void* context,
               int* error);
// Flushes every file of the file system holding fd to disk (syncfs(2)): one call for many
// files written. Returns true, or false with the errno in *error.
bool SyncFileSystem(int fd, int* error);
// True when the process pid exists (kill(pid, 0) does not say ESRCH).
bool ProcessExists(long pid);
// True when the process runs as root (effective user id 0).
bool RunsAsRoot();
// True when error says that an operation is not supported by the file system or the kernel.
bool IsUnsupportedError(int error);
// True when a lock failed because the file system cannot lock the file at all (the caller then
// goes on unlocked, as FileLock does).
bool CannotLockError(int error);
// True when standard error is a terminal.
bool StandardErrorIsTerminal();
// Resident set size at its peak (ru_maxrss), in KiB.
long PeakResidentKib();

}  // namespace zrtmask

#endif  // ZRTMASK_BASE_PLATFORM_H_
