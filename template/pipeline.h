// The rewrite pipeline that every template rewrite runs through: the lock on the template, the
// temporary file with the one sink that shapes the new text's line ends, the free-space test,
// the copy back over the template, and what is kept when a step fails. The producers (the item
// edits, the marker-value insertion, the mask copy) only write the new text.
#ifndef ZRTMASK_TEMPLATE_PIPELINE_H_
#define ZRTMASK_TEMPLATE_PIPELINE_H_

#include <cstddef>
#include <string>

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

  // Opens path read-only and locks it, waiting at most LockTimeoutMs(). Returns false only when
  // the file opened and the lock was not had in time (or the lock failed for want of memory): a
  // file that cannot be opened read-only, or whose file system cannot lock it, is not locked,
  // and the caller goes on as it did before there was a lock.
  bool Acquire(const char* path, bool exclusive);
  // The locked descriptor, positioned at the start of the file; -1 when nothing is locked.
  int fd() const { return fd_; }
  void Release();

 private:
  int fd_ = -1;
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
  // Opens what the producer reads (the template is locked by now). 0, or the rewrite's code.
  virtual int Open() = 0;
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

// Runs a staged rewrite of the template at path: exclusive lock, temporary file, producer,
// free-space test, copy back, removal. Returns 0 or the kind's code; the template is unchanged
// on every failure but a write into it that fails part way (9 or 15), and every failure after
// the temporary file was created leaves it in the temporary directory, except 10.
int RunStagedRewrite(const char* path, Producer& producer, RewriteKind kind);

// Runs an unstaged rewrite (the mask copy): the producer opens and reads its source, holding
// no lock on the template meanwhile, and writes the new text into memory; then the template is
// created when absent, locked, and overwritten in place. No temporary file is used. A failure
// leaves the template as it was (a template created for the copy is removed again), but a write
// into it that fails part way (9 or 15).
int RunDirectRewrite(const char* path, Producer& producer);

// 5 when the disk holding path has no byte free for the caller, or the query fails; else 0.
int DiskFullCode(const char* path);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_PIPELINE_H_
