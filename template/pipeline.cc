// The rewrite pipeline: lock, temporary file and sink, free-space test, copy back, keep on
// failure. Every file access goes through base/platform.h.
#include "template/pipeline.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ZRTHtmlFile.h"
#include "ZRTWebTrace.h"
#include "base/platform.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

constexpr int kDefaultLockTimeoutMs = 30 * 1000;
std::atomic<int> lock_timeout_ms{kDefaultLockTimeoutMs};

constexpr std::size_t kChunkSize = 1 << 16;

// Temporary files hold unpublished text: readable by their owner only.
constexpr unsigned kTempFileMode = 0600;
// A template created by the mask copy gets the usual mode, less the umask.
constexpr unsigned kTemplateFileMode = 0666;

// True when a failed reservation says only that the file cannot reserve space (a device, a
// file system without the call): the copy back then goes ahead without one.
bool CannotReserve(int error) {
  return error == EOPNOTSUPP || error == ENODEV || error == ESPIPE || error == EINVAL;
}

// Explains why the temporary file at path could not be created, in a fixed order.
int DiagnoseTempCreate(const char* path, const std::string& directory) {
  if (!PathAccess(path, 2)) return kTempNotWritable;
  if (PathAccess(path, 0)) return kTempExists;
  if (DiskFullCode(directory.c_str()) != kOk) return kTempDiskFull;
  return kOpenFailed;
}

// Explains why the finished temporary file at path could not be opened for reading.
int DiagnoseTempReopen(const char* path) {
  if (!PathAccess(path, 0)) return kTempVanished;
  if (!PathAccess(path, 4)) return kTempUnreadable;
  return kOpenFailed;
}

// Explains why the template at path could not be opened for output.
int DiagnoseTemplateOpen(const char* path) {
  if (!PathAccess(path, 2)) return kTemplateNotWritable;
  if (DiskFullCode(path) != kOk) return kTemplateDiskFull;
  return kOpenFailed;
}

// The code of a failed write: disk_full_code when the disk holding path has no room, else 15.
int WriteFailureCode(int error, const char* path, int disk_full_code) {
  if (IsNoSpaceError(error) || DiskFullCode(path) != kOk) return disk_full_code;
  return kOpenFailed;
}

// The marker rewrite's code for a temporary file that could not be created.
int MarkerTempCreateCode(int create_code) {
  if (create_code == kTempNotWritable) return kTemplateNotWritable;
  if (create_code == kTempDiskFull) return kTemplateDiskFull;
  return kOpenFailed;
}

// True when the first line end read from fd is CR LF. Reads from the current offset.
bool FirstLineEndIsCrLf(int fd) {
  if (fd < 0) return false;
  char chunk[4096];
  char previous = 0;
  int error = 0;
  for (;;) {
    const long count = ReadSome(fd, chunk, sizeof chunk, &error);
    if (count <= 0) return false;
    const char* line_feed =
        static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(count)));
    if (line_feed != nullptr) return (line_feed == chunk ? previous : line_feed[-1]) == '\r';
    previous = chunk[count - 1];
  }
}

// How line feeds reach the template.
struct LineEnds {
  bool fold = false;      // a line feed that follows a line feed is dropped
  bool crlf = false;      // a line feed is written as CR LF ...
  bool after_cr = false;  // ... also when it follows a CR
};

// The temporary file "<directory><rand()>.html", created exclusively with mode 0600, and the
// sink that writes the new text into it through a buffer, shaping its line ends: the file holds
// exactly the text that the template is to get. The destructor closes the file and removes it
// unless Keep() was called; a file this object did not create is never removed.
class TempFile : public ByteSink {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() override {
    int error = 0;
    CloseFd(fd_, &error);
    if (created_ && !keep_) RemoveFile(path_.c_str(), &error);
  }

  // Draws names with rand() until one is free (at most kMaxTempNameDraws). Returns 0; 3 when
  // the file cannot be created and is not writable, 4 when every name drawn exists, 5 when the
  // disk is full, 15 otherwise. Allocates the buffer (may throw std::bad_alloc).
  int Create(const std::string& directory) {
    buffer_.reset(new char[kChunkSize]);
    std::string candidate;
    for (int draw = 0; draw < kMaxTempNameDraws; ++draw) {
      candidate = directory + std::to_string(std::rand()) + ".html";
      int error = 0;
      const int fd = CreateExclusive(candidate.c_str(), kTempFileMode, &error);
      if (fd >= 0) {
        path_ = candidate;
        created_ = true;
        fd_ = fd;
        return kOk;
      }
      // Only a taken name is worth another draw; any other failure would repeat.
      if (error != EEXIST) break;
    }
    return DiagnoseTempCreate(candidate.c_str(), directory);
  }

  void SetLineEnds(LineEnds line_ends) { line_ends_ = line_ends; }

  bool Write(const char* data, std::size_t size) override {
    if (error_ != 0) return false;
    if (!line_ends_.fold && !line_ends_.crlf) return Append(data, size);
    const char* cursor = data;
    const char* end = data + size;
    while (cursor < end) {
      const char* line_feed = static_cast<const char*>(
          std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
      const char* run_end = line_feed != nullptr ? line_feed : end;
      if (run_end > cursor) {
        Append(cursor, static_cast<std::size_t>(run_end - cursor));
        previous_ = run_end[-1];
      }
      if (line_feed == nullptr) break;
      if (!line_ends_.fold || previous_ != '\n') {
        const bool add_cr = line_ends_.crlf && (line_ends_.after_cr || previous_ != '\r');
        static const char kCrLf[] = "\r\n";
        Append(add_cr ? kCrLf : kCrLf + 1, add_cr ? 2 : 1);
      }
      previous_ = '\n';
      cursor = line_feed + 1;
    }
    return error_ == 0;
  }

  // Flushes and closes the file. Returns 0; 5 when a write failed and the temporary disk is
  // full, 15 for another failure.
  int FinishWriting(const std::string& directory) {
    Flush();
    int close_error = 0;
    // close can report a delayed write error (on network file systems, say).
    if (!CloseFd(fd_, &close_error) && error_ == 0) error_ = close_error;
    fd_ = -1;
    if (error_ == 0) return kOk;
    return WriteFailureCode(error_, directory.c_str(), kTempDiskFull);
  }

  // Opens the finished file for reading. Returns 0; 7 when it no longer exists, 6 when it is
  // not readable, 15 otherwise.
  int OpenForReading() {
    int error = 0;
    fd_ = OpenForRead(path_.c_str(), &error);
    return fd_ >= 0 ? kOk : DiagnoseTempReopen(path_.c_str());
  }
  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  // Leaves the file in place when this object is destroyed (its text may be the only copy).
  void Keep() { keep_ = true; }

 private:
  bool Append(const char* data, std::size_t size) {
    if (error_ != 0) return false;
    size_ += size;
    if (used_ + size > kChunkSize && !Flush()) return false;
    // A piece as large as the buffer (an item writer's whole buffer) goes straight to the file.
    if (size >= kChunkSize) {
      WriteAll(fd_, data, size, &error_);
      return error_ == 0;
    }
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
    return true;
  }
  bool Flush() {
    if (error_ == 0 && used_ > 0) WriteAll(fd_, buffer_.get(), used_, &error_);
    used_ = 0;
    return error_ == 0;
  }

  std::string path_;
  bool created_ = false;
  bool keep_ = false;
  int fd_ = -1;
  int error_ = 0;  // errno of the first failed write or close, 0 when none
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t size_ = 0;
  LineEnds line_ends_;
  char previous_ = 0;  // the byte written before, or the line feed dropped before
};

// The new text held in memory (an unstaged rewrite).
class MemorySink : public ByteSink {
 public:
  bool Write(const char* data, std::size_t size) override {
    text.append(data, size);
    return true;
  }
  std::string text;
};

// Overwrites the template at path in place with the size bytes that read_next hands out (its
// inode, mode and links stay; on a nearly full disk the blocks it holds are reused) and cuts it
// to that length. Before the first byte is written, the new length is reserved on the template's
// disk unless the blocks it holds already cover it, so that a full disk fails the rewrite with
// the template as it was. Returns 0; 8 when the template cannot be opened for output and is not
// writable, 9 when its disk is full, 15 otherwise (template unchanged in these cases); 9 or 15
// when writing fails part way.
template <typename ReadNext>
int CopyBack(const char* path, std::uint64_t size, ReadNext read_next) {
  int error = 0;
  const int fd = OpenForWriteExisting(path, &error);
  if (fd < 0) return DiagnoseTemplateOpen(path);
  int result = kOk;
  // A text that fits in the blocks the template holds needs no new space: they are written over.
  std::uint64_t held = 0;
  const std::int64_t old_size = FileSize(fd, &held, &error);
  if (size > held && !ReserveSpace(fd, size, &error) && !CannotReserve(error)) {
    result = WriteFailureCode(error, path, kTemplateDiskFull);
    // A reservation that failed half way may have grown the file.
    int ignored = 0;
    if (old_size >= 0 && FileSize(fd, nullptr, &ignored) != old_size) {
      TruncateFd(fd, static_cast<std::uint64_t>(old_size), &ignored);
    }
    CloseFd(fd, &ignored);
    return result;
  }
  std::uint64_t written = 0;
  for (;;) {
    const char* data = nullptr;
    const long count = read_next(&data);
    if (count == 0) break;
    if (count < 0) {
      result = kOpenFailed;
      break;
    }
    if (!WriteAll(fd, data, static_cast<std::size_t>(count), &error)) {
      result = WriteFailureCode(error, path, kTemplateDiskFull);
      break;
    }
    written += static_cast<std::uint64_t>(count);
  }
  // A text no shorter than the old one has replaced it whole: only a shorter one needs the cut.
  const bool shorter = old_size < 0 || written < static_cast<std::uint64_t>(old_size);
  if (result == kOk && shorter && !TruncateFd(fd, written, &error)) result = kOpenFailed;
  if (!CloseFd(fd, &error) && result == kOk) {
    result = WriteFailureCode(error, path, kTemplateDiskFull);
  }
  return result;
}

// The staged steps, with temp owned by the caller, which decides what becomes of the file.
int Stage(const char* path, Producer& producer, RewriteKind kind, TempFile& temp) {
  const bool items = kind == RewriteKind::kItems;
  FileLock lock;
  if (!lock.Acquire(path, /*exclusive=*/true)) return kOpenFailed;
  // Decided now, under the lock, from the template's old text.
  const bool crlf = FirstLineEndIsCrLf(lock.fd());
  temp.SetLineEnds({items, crlf, !items});
  const std::string directory = TempDirectory();

  if (items) {
    const int opened = producer.Open();
    if (opened != kOk) return opened;
    const int created = temp.Create(directory);
    if (created != kOk) return created;
  } else {
    const int created = temp.Create(directory);
    const int opened = producer.Open();
    if (opened != kOk) return opened;
    if (created != kOk) return MarkerTempCreateCode(created);
  }
  const int produced = producer.Produce(temp);
  if (produced != kOk) return produced;

  // A write that failed for want of space and a disk found full after the item scan are the
  // same condition for the operator: both are traced.
  int written = temp.FinishWriting(directory);
  if (items && written == kOk && DiskFullCode(directory.c_str()) != kOk) written = kTempDiskFull;
  if (written != kOk) {
    const char* message = producer.DiskFullMessage();
    if (written == kTempDiskFull && message != nullptr) ZRTWebTrace::trace("%s", message);
    return written;
  }
  const int reopened = temp.OpenForReading();
  if (reopened != kOk) return reopened;
  std::unique_ptr<char[]> chunk(new char[kChunkSize]);
  return CopyBack(path, temp.size(), [&](const char** data) {
    int error = 0;
    *data = chunk.get();
    return ReadSome(temp.fd(), chunk.get(), kChunkSize, &error);
  });
}

}  // namespace

std::string TempDirectory() {
  const char* configured = std::getenv("ZRTMASK_TEMP_DIR");
  if (configured == nullptr || *configured == '\0') return "c:/temp/";
  std::string directory = configured;
  if (directory.back() != '/') directory += '/';
  return directory;
}

int LockTimeoutMs() { return lock_timeout_ms.load(std::memory_order_relaxed); }

void SetLockTimeoutForTesting(int milliseconds) {
  lock_timeout_ms.store(milliseconds > 0 ? milliseconds : kDefaultLockTimeoutMs,
                        std::memory_order_relaxed);
}

bool FileLock::Acquire(const char* path, bool exclusive) {
  Release();
  int error = 0;
  fd_ = OpenForRead(path, &error);
  if (fd_ < 0) return true;
  if (LockFd(fd_, exclusive, LockTimeoutMs(), &error)) return true;
  // A file system that cannot lock the file at all (some network file systems refuse an
  // exclusive lock on a descriptor open for reading) leaves it unlocked, as it always was.
  if (error == ENOLCK || error == EBADF || error == EINVAL || error == EOPNOTSUPP) return true;
  Release();
  return false;
}

void FileLock::Release() {
  int error = 0;
  CloseFd(fd_, &error);
  fd_ = -1;
}

int RunStagedRewrite(const char* path, Producer& producer, RewriteKind kind) {
  if (path == nullptr) return kTemplateMissing;
  TempFile temp;
  const int code = Stage(path, producer, kind, temp);
  // Kept on purpose: a rewrite that fails after creating its temporary file leaves it in the
  // temporary directory, where an operator finds what was about to be written. A region that
  // is not closed is a fault of the template, not of the rewrite: nothing is left then.
  if (code != kOk && code != kRegionNotClosed) temp.Keep();
  return code;
}

int RunDirectRewrite(const char* path, Producer& producer) {
  if (path == nullptr) return kTemplateMissing;
  int code = producer.Open();
  if (code != kOk || producer.TemplateIsSource()) return code;
  MemorySink text;
  code = producer.Produce(text);
  if (code != kOk) return code;

  // A template that does not exist yet is created, and removed again when the copy fails, so
  // that a failure leaves no trace.
  bool created = false;
  if (!PathAccess(path, 0)) {
    int error = 0;
    const int fd = CreateExclusive(path, kTemplateFileMode, &error);
    created = fd >= 0;
    CloseFd(fd, &error);
  }
  {
    FileLock lock;
    code = lock.Acquire(path, /*exclusive=*/true) ? kOk : kOpenFailed;
    if (code == kOk) {
      bool handed_out = false;
      code = CopyBack(path, text.text.size(), [&](const char** data) {
        *data = text.text.data();
        const long count = handed_out ? 0 : static_cast<long>(text.text.size());
        handed_out = true;
        return count;
      });
    }
  }
  if (code != kOk && created) {
    int error = 0;
    RemoveFile(path, &error);
  }
  return code;
}

int DiskFullCode(const char* path) {
  bool ok = false;
  const std::uint64_t free_bytes = FreeBytes(path, &ok);
  if (!ok || free_bytes < 1) return kTempDiskFull;
  return kOk;
}

}  // namespace zrtmask

int ZRTHtmlFile::isDiskFull(const char* path) { return zrtmask::DiskFullCode(path); }
