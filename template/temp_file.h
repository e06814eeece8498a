// The temporary file that holds a template's new text while it is rewritten.
#ifndef ZRTMASK_TEMPLATE_TEMP_FILE_H_
#define ZRTMASK_TEMPLATE_TEMP_FILE_H_

#include <cstddef>
#include <string>

namespace zrtmask {

// The fixed temporary directory. On POSIX it is a relative path: a folder "c:" holding "temp"
// in the process's working directory. The library never creates it.
inline constexpr char kTempDirectory[] = "c:/temp/";

// A file "c:/temp/" + rand() + ".html", created exclusively (never an existing file), written
// through a buffer, then reopened for reading. The destructor closes it and removes it unless
// Keep() was called.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  // Draws a name with rand() and creates the file, drawing again (a bounded number of times)
  // while the name is taken. Returns 0; 3 when the directory does not let it be written (or is
  // missing), 4 when the names drawn all exist, 5 when the disk is full, 15 otherwise.
  int Create();
  // The file's path, "c:/temp/<number>.html"; empty before Create().
  const std::string& path() const { return path_; }

  // Appends bytes. The first failure is kept and reported by FinishWriting().
  void Write(const char* data, std::size_t size);
  void Put(char byte) { Write(&byte, 1); }
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
  bool FlushBuffer();

  std::string path_;
  int write_fd_ = -1;
  int read_fd_ = -1;
  int write_error_ = 0;  // errno of the first failed write, 0 when none
  bool keep_ = false;
  std::size_t buffered_ = 0;
  char buffer_[1 << 16];
};

// Line-end conventions of a template: true when its first line end is CR LF.
bool TemplateUsesCrLf(const char* template_path);

// Copies the finished and reopened temp file over the template: the template is opened for
// output (emptied) only now, after every earlier step succeeded. When fold_line_feeds is set,
// a line feed that follows a line feed is dropped. When crlf is set, every line feed is written
// as CR LF. Returns 0; 8 when the template cannot be opened for output and is not writable, 9
// when its disk is full, 15 otherwise (template untouched in these three cases); 9 or 15 when a
// write into the template fails, and then the temp file is kept (Keep()) with the new text.
int CopyBack(TempFile& temp, const char* template_path, bool fold_line_feeds, bool crlf);

// 5 when the disk holding path has no byte free for the caller, or the query fails; else 0.
int DiskFullCode(const char* path);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_TEMP_FILE_H_
