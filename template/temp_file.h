// The temporary file that holds a template's new text while it is rewritten, and the copy back
// of that text over the template.
#ifndef ZRTMASK_TEMPLATE_TEMP_FILE_H_
#define ZRTMASK_TEMPLATE_TEMP_FILE_H_

#include <cstddef>
#include <memory>
#include <string>

namespace zrtmask {

// The fixed temporary directory. On POSIX it is a relative path: a folder "c:" holding "temp"
// in the process's working directory. The library never creates it.
inline constexpr char kTempDirectory[] = "c:/temp/";

// How many names TempFile::Create draws before it gives up on finding a free one.
inline constexpr int kMaxTempNameDraws = 100;

// Where a rewrite's new text goes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends size bytes. Returns false when they, or earlier bytes, could not be written.
  virtual bool Write(const char* data, std::size_t size) = 0;
};

// A file "c:/temp/" + rand() + ".html", created exclusively (never an existing file), written
// through a buffer, then reopened for reading. The destructor closes it and removes it unless
// Keep() was called; a file this object did not create is never removed.
class TempFile : public ByteSink {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() override;

  // Draws a name with rand() and creates the file, drawing again (up to kMaxTempNameDraws
  // names) while the name is taken. Returns 0; 3 when the file cannot be created and is not
  // writable (the directory is missing or read-only), 4 when the names drawn all exist, 5 when
  // the disk is full, 15 otherwise. Allocates the write buffer (may throw std::bad_alloc).
  int Create();
  // The file's path, "c:/temp/<number>.html"; empty until Create() succeeds.
  const std::string& path() const { return path_; }

  // Appends bytes. The first failure is kept and reported by FinishWriting(); later writes
  // are dropped. Returns false once a write has failed.
  bool Write(const char* data, std::size_t size) override;
  bool Put(char byte) { return Write(&byte, 1); }
  // Flushes the buffer and closes the output. Returns 0; 5 when a write failed and the disk of
  // the temporary directory is full, 15 for another write failure.
  int FinishWriting();
  // Opens the finished file for reading. Returns 0; 7 when it no longer exists, 6 when it is
  // not readable, 15 otherwise.
  int OpenForReading();
  // Reads up to size bytes of the reopened file. Returns the count, 0 at the end, -1 on error.
  long Read(char* buffer, std::size_t size);

  // Leaves the file in place when this object is destroyed (its text is the only copy).
  void Keep() { keep_ = true; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  bool Flush();

  std::string path_;
  bool created_ = false;
  bool keep_ = false;
  int write_fd_ = -1;
  int read_fd_ = -1;
  int write_error_ = 0;  // errno of the first failed write or close, 0 when none
  std::unique_ptr<char[]> buffer_;
  std::size_t buffered_ = 0;
};

// Line-end convention of a template: true when its first line end is CR LF. False when it has
// no line end or cannot be read.
bool TemplateUsesCrLf(const char* template_path);

// Copies the finished and reopened temp file over the template. The template is opened for
// output only now, after every earlier step succeeded; its bytes are overwritten in place (its
// inode, mode and links stay) and it is cut to the new length. When fold_line_feeds is set, a
// line feed that follows a line feed is dropped. When crlf is set, every line feed that does not
// already follow a CR is written as CR LF. Returns 0; 8 when the template cannot be opened for
// output and is not writable, 9 when its disk is full, 15 otherwise (template untouched in these
// three cases); 9 or 15 when writing into the template fails, and then the temp file is kept
// (Keep()) because it holds the only complete copy of the new text.
int CopyBack(TempFile& temp, const char* template_path, bool fold_line_feeds, bool crlf);

// Overwrites the file at path in place with size bytes of data (its inode, mode and links stay)
// and cuts it to that length. Returns 0; 8 when it cannot be opened for output and is not
// writable, 9 when its disk is full, 15 otherwise (file untouched in these three cases); 9 or 15
// when a write fails part way.
int OverwriteInPlace(const char* path, const char* data, std::size_t size);

// 5 when the disk holding path has no byte free for the caller, or the query fails; else 0.
int DiskFullCode(const char* path);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_TEMP_FILE_H_
