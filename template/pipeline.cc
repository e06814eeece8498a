// The rewrite pipeline: one descriptor on the template, lock, temporary file and sink, flushes,
// free-space test, record, copy back, keep on failure. Every file access goes through
// base/platform.h, every failure code through base/failures.h.
#include "template/pipeline.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ZRTHtmlFile.h"
#include "ZRTWebTrace.h"
#include "base/failures.h"
#include "base/platform.h"
#include "template/recovery.h"
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
// Directory bits: writable by others, and the sticky bit that keeps them from renaming or
// removing what they do not own.
constexpr unsigned kOthersMayWrite = 0002;
constexpr unsigned kStickyBit = 01000;

thread_local FailureDetail last_failure;
// Where the rewrites of this thread hand their new text instead of writing it; null: they write.
thread_local std::string* text_only_target = nullptr;

// True when a failed open for writing says that the file may still be read: it is then opened
// for reading, and the rewrite fails where it would write, as it did before.
bool MayStillRead(int error) {
  return IsPermissionError(error) || error == EROFS || error == ETXTBSY || error == EISDIR;
}

// The marker rewrite's code for a temporary file that could not be created.
int MarkerTempCreateCode(int create_code) {
  if (create_code == kTempNotWritable) return kTemplateNotWritable;
  if (create_code == kTempDiskFull) return kTemplateDiskFull;
  return kOpenFailed;
}

// True when the first line end of the open file fd is CR LF. Reads from its start by offset.
bool FirstLineEndIsCrLf(int fd) {
  if (fd < 0) return false;
  char chunk[4096];
  char previous = 0;
  int error = 0;
  std::uint64_t offset = 0;
  for (;;) {
    const long count = ReadAt(fd, chunk, sizeof chunk, offset, &error);
    if (count <= 0) return false;
    offset += static_cast<std::uint64_t>(count);
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

// The sink that shapes the new text's line ends on its way to another sink: the target holds
// exactly the text that the template is to get.
class LineEndSink : public ByteSink {
 public:
  LineEndSink(ByteSink& target, LineEnds line_ends) : target_(target), line_ends_(line_ends) {}

  bool Write(const char* data, std::size_t size) override {
    if (!line_ends_.fold && !line_ends_.crlf) return target_.Write(data, size);
    bool ok = true;
    const char* cursor = data;
    const char* end = data + size;
    while (cursor < end) {
      const char* line_feed = static_cast<const char*>(
          std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
      const char* run_end = line_feed != nullptr ? line_feed : end;
      if (run_end > cursor) {
        ok = target_.Write(cursor, static_cast<std::size_t>(run_end - cursor)) && ok;
        previous_ = run_end[-1];
      }
      if (line_feed == nullptr) break;
      if (!line_ends_.fold || previous_ != '\n') {
        const bool add_cr = line_ends_.crlf && (line_ends_.after_cr || previous_ != '\r');
        static const char kCrLf[] = "\r\n";
        ok = target_.Write(add_cr ? kCrLf : kCrLf + 1, add_cr ? 2 : 1) && ok;
      }
      previous_ = '\n';
      cursor = line_feed + 1;
    }
    return ok;
  }

 private:
  ByteSink& target_;
  LineEnds line_ends_;
  char previous_ = 0;  // the byte written before, or the line feed dropped before
};

// The new text held in memory.
class MemorySink : public ByteSink {
 public:
  bool Write(const char* data, std::size_t size) override {
    text.append(data, size);
    return true;
  }
  std::string text;
};

// The temporary file "<directory><number>.html", the number from the kernel's random source,
// created exclusively, without following a link, with mode 0600, and the sink that writes into
// it through a buffer. It is never opened again by its name: the copy back reads it through the
// descriptor that wrote it. The destructor closes it and removes it unless Keep() was called; a
// file this object did not create is never removed.
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

  // Draws names until one is free (at most kMaxTempNameDraws). Returns 0; 3 when the directory
  // is writable by others without the sticky bit (they could swap the file), or the file cannot
  // be created and is not writable, 4 when every name drawn exists, 5 when the disk is full, 15
  // otherwise. Allocates the buffer (may throw std::bad_alloc).
  int Create(const std::string& directory) {
    buffer_.reset(new char[kChunkSize]);
    FileStatus folder;
    int error = 0;
    if (StatPath(directory.c_str(), &folder, &error) && folder.directory &&
        (folder.mode & kOthersMayWrite) != 0 && (folder.mode & kStickyBit) == 0) {
      NoteFailureDetail({FailureDetail::Kind::kTempDirOpenToOthers, 0, directory});
      return kTempNotWritable;
    }
    std::string candidate;
    for (int draw = 0; draw < kMaxTempNameDraws; ++draw) {
      std::uint32_t number = 0;
      if (!RandomNumber(&number, &error)) return kOpenFailed;
      name_ = std::to_string(number & 0x7fffffffu) + ".html";
      candidate = directory + name_;
      const int fd =
          OpenDescriptor(candidate.c_str(), kOpenReadWrite | kOpenCreateExclusive | kOpenNoFollow,
                         kTempFileMode, &error);
      if (fd >= 0) {
        path_ = candidate;
        created_ = true;
        fd_ = fd;
        return kOk;
      }
      // Only a taken name is worth another draw; any other failure would repeat.
      if (!IsExistsError(error)) break;
    }
    return TempCreateFailureCode(candidate.c_str(), directory.c_str());
  }

  bool Write(const char* data, std::size_t size) override {
    if (error_ != 0) return false;
    checksum_.Add(data, size);
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

  // Writes what is buffered and flushes the file to disk. Returns 0; 5 when a write failed and
  // the temporary disk is full, 15 for another failure.
  int FinishWriting(const std::string& directory) {
    Flush();
    if (error_ == 0) SyncFd(fd_, &error_);
    if (error_ == 0) return kOk;
    return WriteFailureCode(error_, directory.c_str(), kTempDiskFull);
  }

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t checksum() const { return checksum_.value(); }
  // Leaves the file in place when this object is destroyed (its text may be the only copy).
  void Keep() { keep_ = true; }

 private:
  bool Flush() {
    if (error_ == 0 && used_ > 0) WriteAll(fd_, buffer_.get(), used_, &error_);
    used_ = 0;
    return error_ == 0;
  }

  std::string path_;
  std::string name_;
  bool created_ = false;
  bool keep_ = false;
  int fd_ = -1;
  int error_ = 0;  // errno of the first failed write or flush, 0 when none
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t size_ = 0;
  Checksum checksum_;
};

// The copy back of a finished temporary file: the record first, then the copy through the
// template's descriptor, then the record's removal. Returns 0, or the code of the failed step:
// a record that cannot be written leaves the template as it was; a copy that fails part way
// leaves the record, so that the next access finishes it.
int JournaledCopyBack(const TemplateHandle& handle, TempFile& temp, const std::string& directory,
                      bool* touched) {
  CopyBackRecord record;
  record.device = handle.status().device;
  record.inode = handle.status().inode;
  record.length = temp.size();
  record.checksum = temp.checksum();
  record.temp_name = temp.name();
  record.template_path = ResolvedPath(handle.path());
  int error = 0;
  if (!WriteRecord(directory, record, &error)) {
    return WriteFailureCode(error, directory.c_str(), kTempDiskFull);
  }
  StepReached("record-written");
  const int copied = CopyBackFrom(handle, temp.size(), DescriptorSource(temp.fd()), touched);
  if (copied != kOk) {
    // A reservation that failed wrote nothing: the record has nothing to finish.
    if (!*touched) RemoveRecord(directory, record.device, record.inode, &error);
    return copied;
  }
  StepReached("template-synced");
  RemoveRecord(directory, record.device, record.inode, &error);
  return kOk;
}

// The staged steps, with temp owned by the caller, which decides what becomes of the file.
int Stage(const char* path, Producer& producer, RewriteKind kind, TempFile& temp,
          std::string* new_text) {
  const bool items = kind == RewriteKind::kItems;
  const std::string directory = TempDirectory();
  TemplateHandle handle;
  const int opened = handle.Open(path, /*for_writing=*/true);
  if (opened != kOk) {
    if (items) return opened;
    // A marker rewrite reports a template that cannot be read as not writable; one that could
    // not be opened leaves its temporary file, empty, as it always has.
    if (handle.fd() < 0 && new_text == nullptr) temp.Create(directory);
    return kTemplateNotWritable;
  }
  StepReached("template-opened");
  if (!LockDescriptor(handle.fd(), /*exclusive=*/true)) return kOpenFailed;
  if (new_text == nullptr || handle.writable()) FinishCopyBack(handle, directory);
  StepReached("template-locked");
  // Decided now, under the lock, from the template's old text.
  const LineEnds line_ends{items, FirstLineEndIsCrLf(handle.fd()), !items};

  if (new_text != nullptr) {
    const int ready = producer.Open(handle.fd());
    if (ready != kOk) return ready;
    MemorySink memory;
    LineEndSink shaped(memory, line_ends);
    const int produced = producer.Produce(shaped);
    if (produced != kOk) return produced;
    if (!handle.writable()) return WriteOpenFailureCode(path);
    *new_text = std::move(memory.text);
    return kOk;
  }

  if (items) {
    const int ready = producer.Open(handle.fd());
    if (ready != kOk) return ready;
    const int created = temp.Create(directory);
    if (created != kOk) return created;
  } else {
    const int created = temp.Create(directory);
    const int ready = producer.Open(handle.fd());
    if (ready != kOk) return ready;
    if (created != kOk) return MarkerTempCreateCode(created);
  }
  LineEndSink shaped(temp, line_ends);
  const int produced = producer.Produce(shaped);
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
  StepReached("temp-written");
  // A template open for reading only fails here, where its open for output used to.
  if (!handle.writable()) return WriteOpenFailureCode(path);
  bool touched = false;
  return JournaledCopyBack(handle, temp, directory, &touched);
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

bool LockDescriptor(int fd, bool exclusive) {
  int error = 0;
  if (LockFd(fd, exclusive, LockTimeoutMs(), &error)) return true;
  // A file system that cannot lock the file at all (some network file systems refuse an
  // exclusive lock on a descriptor open for reading) leaves it unlocked, as it always was.
  if (error == ENOLCK || error == EBADF || error == EINVAL || error == EOPNOTSUPP) return true;
  if (error == EWOULDBLOCK) NoteFailureDetail({FailureDetail::Kind::kLockTimeout, 0, ""});
  return false;
}

bool FileLock::Acquire(const char* path, bool exclusive) {
  Release();
  int error = 0;
  fd_ = OpenDescriptor(path, kOpenRead, 0, &error);
  if (fd_ < 0) return true;
  if (LockDescriptor(fd_, exclusive)) return true;
  Release();
  return false;
}

void FileLock::Release() {
  int error = 0;
  CloseFd(fd_, &error);
  fd_ = -1;
}

TemplateHandle::~TemplateHandle() {
  int error = 0;
  CloseFd(fd_, &error);
}

int TemplateHandle::Open(const char* path, bool for_writing, int missing_code,
                         int unreadable_code) {
  path_ = path;
  int error = 0;
  if (for_writing) {
    fd_ = OpenDescriptor(path, kOpenReadWrite, 0, &error);
    writable_ = fd_ >= 0;
  }
  if (fd_ < 0 && (!for_writing || MayStillRead(error))) {
    fd_ = OpenDescriptor(path, kOpenRead, 0, &error);
  }
  if (fd_ < 0) return ReadOpenFailureCode(path, missing_code, unreadable_code);
  if (!StatDescriptor(fd_, &status_, &error)) return kOpenFailed;
  // A FIFO, a device or a directory has no text to rewrite, and reading one may never end.
  if (!status_.regular) return unreadable_code;
  return kOk;
}

int TemplateHandle::OpenOrCreate(const char* path) {
  path_ = path;
  int error = 0;
  fd_ = OpenDescriptor(path, kOpenReadWrite, 0, &error);
  if (fd_ < 0 && IsMissingError(error) && PathAccess(path, 0) == false) {
    // A name that is a dangling link is not created through: the exclusive create fails on it.
    fd_ = OpenDescriptor(path, kOpenReadWrite | kOpenCreateExclusive, kTemplateFileMode, &error);
    created_ = fd_ >= 0;
  }
  // A directory is no template, as a FIFO or a device is not (below).
  if (fd_ < 0) return error == EISDIR ? kTemplateNotWritable : WriteOpenFailureCode(path);
  writable_ = true;
  if (!StatDescriptor(fd_, &status_, &error)) return kOpenFailed;
  if (!status_.regular) return kTemplateNotWritable;
  return kOk;
}

int RunStagedRewrite(const char* path, Producer& producer, RewriteKind kind,
                     std::string* new_text) {
  if (path == nullptr) return kTemplateMissing;
  if (new_text == nullptr) new_text = text_only_target;
  TempFile temp;
  const int code = Stage(path, producer, kind, temp, new_text);
  // Kept on purpose: a rewrite that fails after creating its temporary file leaves it in the
  // temporary directory, where an operator finds what was about to be written. A region that
  // is not closed, or an item too long to write back, is a fault of the template, not of the
  // rewrite: nothing is left then. A copy back that failed keeps it for its record too.
  if (code != kOk && code != kRegionNotClosed && code != kItemTooLong) temp.Keep();
  return code;
}

int RunDirectRewrite(const char* path, Producer& producer, std::string* new_text) {
  if (path == nullptr) return kTemplateMissing;
  if (new_text == nullptr) new_text = text_only_target;
  int code = producer.Open(-1);
  if (code != kOk || producer.TemplateIsSource()) return code;
  MemorySink text;
  code = producer.Produce(text);
  if (code != kOk) return code;
  if (new_text != nullptr) {
    FileStatus status;
    int error = 0;
    if (StatPath(path, &status, &error) && (!status.regular || !PathAccess(path, 2))) {
      return kTemplateNotWritable;
    }
    *new_text = std::move(text.text);
    return kOk;
  }

  TemplateHandle handle;
  code = handle.OpenOrCreate(path);
  if (code == kOk) StepReached("template-opened");
  if (code == kOk) code = LockDescriptor(handle.fd(), /*exclusive=*/true) ? kOk : kOpenFailed;
  if (code == kOk) {
    StepReached("template-locked");
    const std::string directory = TempDirectory();
    FinishCopyBack(handle, directory);
    // The copy back is recoverable when the temporary directory takes the text; the mask copy
    // needs none, and goes on without one as it always has.
    TempFile temp;
    bool staged = false;
    try {
      staged = temp.Create(directory) == kOk && temp.Write(text.text.data(), text.text.size()) &&
               temp.FinishWriting(directory) == kOk;
    } catch (...) {
      staged = false;
    }
    bool touched = false;
    if (staged) {
      StepReached("temp-written");
      code = JournaledCopyBack(handle, temp, directory, &touched);
      // The record of a copy back that failed part way needs its text.
      if (code != kOk && touched) temp.Keep();
    } else {
      code = CopyBackFrom(handle, text.text.size(), MemorySource(text.text), &touched);
    }
  }
  if (code != kOk && handle.created()) {
    int error = 0;
    RemoveFile(path, &error);
  }
  return code;
}

TextOnlyScope::TextOnlyScope(std::string* new_text) : previous_(text_only_target) {
  text_only_target = new_text;
}
TextOnlyScope::~TextOnlyScope() { text_only_target = previous_; }

void NoteFailureDetail(FailureDetail detail) { last_failure = std::move(detail); }
FailureDetail LastFailureDetail() { return last_failure; }
void ClearFailureDetail() { last_failure = FailureDetail(); }

}  // namespace zrtmask

int ZRTHtmlFile::isDiskFull(const char* path) { return zrtmask::DiskFullCode(path); }
