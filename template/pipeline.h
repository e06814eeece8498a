// The rewrite pipeline that every template rewrite runs through: the one descriptor on the
// template (lock, read, reserve, copy back, cut, flush), the temporary file with the one sink
// that shapes the new text's line ends, the free-space test, the record that lets the next
// access finish a copy back that a crash cut (template/recovery.h), and what is kept when a step
// fails. The producers (the item edits, the marker-value insertion, the mask copy) only write
// the new text.
#ifndef ZRTMASK_TEMPLATE_PIPELINE_H_
#define ZRTMASK_TEMPLATE_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/platform.h"

namespace zrtmask {

// How many names a rewrite draws before it gives up on finding a free temporary name.
inline constexpr int kMaxTempNameDraws = 100;

// The directory of the temporary files, ending in '/': the value of ZRTMASK_TEMP_DIR when it is
// set and not empty (read at each call), else "c:/temp/", a relative path: a folder "c:"
// holding "temp" in the working directory. The library never creates it.
std::string TempDirectory();

// How long a rewrite or a query waits for the lock on its template (30 s), and the hook through
// which tests shorten it (0 or less restores 30 s).
int LockTimeoutMs();
void SetLockTimeoutForTesting(int milliseconds);

// An advisory flock(2) on a file, on a descriptor of its own (so that it separates threads as
// well as processes), released when the object goes.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { Release(); }

  // Opens path read-only (a FIFO does not make the open wait) and locks it, waiting at most
  // LockTimeoutMs(). Returns false only when the file opened and the lock was not had in time
  // (or the lock failed for want of memory): a file that cannot be opened read-only, or whose
  // file system cannot lock it, is not locked, and the caller goes on as it did before there
  // was a lock.
  bool Acquire(const char* path, bool exclusive);
  // The locked descriptor, positioned at the start of the file; -1 when nothing is locked.
  int fd() const { return fd_; }
  void Release();

 private:
  int fd_ = -1;
};

// Locks the open file fd as FileLock does. Returns false only when the lock was not had in
// time (the failure is noted for the tool, see LastFailureDetail).
bool LockDescriptor(int fd, bool exclusive);

// The template's one descriptor, from the open to the last flush. Opened following a link (a
// template reached through a link is rewritten at its target), so that renaming or replacing
// the name meanwhile redirects nothing.
class TemplateHandle {
 public:
  TemplateHandle() = default;
  TemplateHandle(const TemplateHandle&) = delete;
  TemplateHandle& operator=(const TemplateHandle&) = delete;
  ~TemplateHandle();

  // Opens path, for reading and writing when for_writing and it may (else for reading only; the
  // rewrite then fails where it would write), and refuses a file that is not a regular file.
  // Returns 0; 2 when it does not exist, 1 when it cannot be read or is no regular file (a FIFO,
  // a device, a directory), 15 otherwise.
  // A mask passes its own codes for missing and unreadable.
  int Open(const char* path, bool for_writing, int missing_code = 2, int unreadable_code = 1);
  // Opens path for writing, creating it (mode 0666 less the umask) when absent. Returns 0; 8
  // when it is not writable or no regular file, 9 when its disk is full, 15 otherwise.
  int OpenOrCreate(const char* path);

  int fd() const { return fd_; }
  bool writable() const { return writable_; }
  bool created() const { return created_; }
  bool regular() const { return status_.regular; }
  const FileStatus& status() const { return status_; }
  const char* path() const { return path_; }

 private:
  int fd_ = -1;
  bool writable_ = false;
  bool created_ = false;
  FileStatus status_;
  const char* path_ = nullptr;
};

// Where a producer writes the new text.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends size bytes. Returns false when they, or earlier bytes, could not be written.
  virtual bool Write(const char* data, std::size_t size) = 0;
};

// What one kind of rewrite contributes to the pipeline.
class Producer {
 public:
  virtual ~Producer() = default;
  // Gets ready to read (the template is locked by now): template_fd is the template's
  // descriptor, to be read from its start by offset (-1 for the mask copy). 0, or the
  // rewrite's code.
  virtual int Open(int template_fd) = 0;
  // Writes the new text with line feeds as line ends. 0, or the rewrite's code.
  virtual int Produce(ByteSink& sink) = 0;
  // The message traced when the temporary disk is full after the text was written; null for
  // none.
  virtual const char* DiskFullMessage() const { return nullptr; }
  // True when Open found that the new text is the template itself: nothing is written.
  virtual bool TemplateIsSource() const { return false; }
};

// The kinds of staged rewrite. An item rewrite opens its template before it creates the
// temporary file, folds runs of line feeds, and tests the temporary disk once the text is
// written. A marker rewrite creates the temporary file first (so that a template that cannot be
// read leaves it behind, empty) and reports its failure to be created as 8 (not writable),
// 9 (disk full) or 15; its producer reads CR LF as one line feed.
enum class RewriteKind { kItems, kMarkerValue };

// Runs a staged rewrite of the template at path: the template opened once and locked, an
// outstanding copy back finished, temporary file, producer, flush, free-space test, record,
// copy back, flush, removal. Returns 0 or the kind's code; the template is unchanged on every
// failure but a write into it that fails part way (9 or 15: the record then lets the next
// access finish the copy back), and every failure after the temporary file was created leaves
// it in the temporary directory, except 10 and 12. With new_text, nothing is written: the new
// text is handed back in memory instead (the same codes, but none of the temporary file's).
int RunStagedRewrite(const char* path, Producer& producer, RewriteKind kind,
                     std::string* new_text = nullptr);

// Runs an unstaged rewrite (the mask copy): the producer opens and reads its source, holding
// no lock on the template meanwhile, and writes the new text into memory; then the template is
// opened (created when absent), locked, and overwritten in place, through a temporary file and
// a record when the temporary directory can take them (a crash is then recoverable), directly
// otherwise. A failure leaves the template as it was (a template created for the copy is
// removed again), but a write into it that fails part way (9 or 15). With new_text, nothing is
// written and the new text is handed back.
int RunDirectRewrite(const char* path, Producer& producer, std::string* new_text = nullptr);

// While it lives, the rewrites of this thread write nothing and hand their new text to
// *new_text instead (as if they had been given new_text): the tool's dry run.
class TextOnlyScope {
 public:
  explicit TextOnlyScope(std::string* new_text);
  TextOnlyScope(const TextOnlyScope&) = delete;
  TextOnlyScope& operator=(const TextOnlyScope&) = delete;
  ~TextOnlyScope();

 private:
  std::string* previous_;
};

// Why the last failed operation of this thread failed, beyond its result code: for the tool's
// messages (the library prints nothing). Cleared at the start of every operation.
struct FailureDetail {
  enum class Kind {
    kNone,
    kLockTimeout,          // the lock on path was not had in time
    kItemTooLong,          // the item ending on line was longer than the scanner's buffers
    kTempDirOpenToOthers,  // path, the temporary directory, is writable by others, not sticky
  };
  Kind kind = Kind::kNone;
  int line = 0;
  std::string path;
};
void NoteFailureDetail(FailureDetail detail);
FailureDetail LastFailureDetail();
void ClearFailureDetail();

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_PIPELINE_H_
