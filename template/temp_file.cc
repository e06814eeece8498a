// The temporary file of the rewrites, the copy back over the template and the free-space test.
#include "template/temp_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

constexpr std::size_t kCopyChunkSize = 1 << 16;

// True when errno value error means that the file system ran out of space or quota.
bool IsNoSpaceError(int error) {
#ifdef EDQUOT
  if (error == EDQUOT) return true;
#endif
  return error == ENOSPC;
}

// Explains why the temporary file at path could not be created, in a fixed order.
int DiagnoseTempCreate(const char* path) {
  if (!PathAccess(path, 2)) return kTempNotWritable;
  if (PathAccess(path, 0)) return kTempExists;
  if (DiskFullCode(kTempDirectory) != kOk) return kTempDiskFull;
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

// Copies count bytes from input to output, dropping a line feed that follows a line feed (when
// folding) and putting a CR before a line feed that does not follow one (when crlf). *previous
// is the byte read before input and is updated. Returns the output length. Without crlf the
// output is never longer than the input and may be the input itself.
std::size_t ConvertLineEnds(const char* input, std::size_t count, char* output, bool fold,
                            bool crlf, char* previous) {
  std::size_t length = 0;
  const char* cursor = input;
  const char* end = input + count;
  while (cursor < end) {
    const char* line_feed =
        static_cast<const char*>(std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
    const char* run_end = line_feed != nullptr ? line_feed : end;
    std::size_t run = static_cast<std::size_t>(run_end - cursor);
    if (run > 0) {
      std::memmove(output + length, cursor, run);
      length += run;
      *previous = run_end[-1];
    }
    if (line_feed == nullptr) break;
    if (!fold || *previous != '\n') {
      if (crlf && *previous != '\r') output[length++] = '\r';
      output[length++] = '\n';
    }
    *previous = '\n';
    cursor = line_feed + 1;
  }
  return length;
}

}  // namespace

TempFile::~TempFile() {
  int error = 0;
  CloseFd(write_fd_, &error);
  CloseFd(read_fd_, &error);
  if (created_ && !keep_) RemoveFile(path_.c_str(), &error);
}

int TempFile::Create() {
  if (created_) return kOpenFailed;
  buffer_.reset(new char[kBufferSize]);
  std::string candidate;
  for (int draw = 0; draw < kMaxTempNameDraws; ++draw) {
    candidate = kTempDirectory;
    candidate += std::to_string(std::rand());
    candidate += ".html";
    int error = 0;
    int fd = CreateExclusive(candidate.c_str(), &error);
    if (fd >= 0) {
      path_ = candidate;
      created_ = true;
      write_fd_ = fd;
      return kOk;
    }
    // Only a taken name is worth another draw; any other failure would repeat.
    if (error != EEXIST) break;
  }
  return DiagnoseTempCreate(candidate.c_str());
}

bool TempFile::Flush() {
  if (write_error_ != 0) return false;
  if (buffered_ > 0 && !WriteAll(write_fd_, buffer_.get(), buffered_, &write_error_)) {
    if (write_error_ == 0) write_error_ = EIO;
  }
  buffered_ = 0;
  return write_error_ == 0;
}

bool TempFile::Write(const char* data, std::size_t size) {
  if (write_error_ != 0) return false;
  if (write_fd_ < 0) {
    write_error_ = EBADF;
    return false;
  }
  // A large piece (an item writer's whole buffer) goes straight to the file: copying it into
  // this buffer first would gain nothing.
  constexpr std::size_t kDirectWriteSize = 4096;
  if (size >= kDirectWriteSize || buffered_ + size > kBufferSize) {
    if (!Flush()) return false;
    if (size >= kDirectWriteSize) {
      if (!WriteAll(write_fd_, data, size, &write_error_) && write_error_ == 0) write_error_ = EIO;
      return write_error_ == 0;
    }
  }
  if (size == 0) return true;
  std::memcpy(buffer_.get() + buffered_, data, size);
  buffered_ += size;
  return true;
}

int TempFile::FinishWriting() {
  if (write_fd_ < 0 && write_error_ == 0) return kOpenFailed;
  Flush();
  int close_error = 0;
  // close can report a delayed write error (on network file systems, say).
  if (!CloseFd(write_fd_, &close_error) && write_error_ == 0) write_error_ = close_error;
  write_fd_ = -1;
  if (write_error_ == 0) return kOk;
  return WriteFailureCode(write_error_, kTempDirectory, kTempDiskFull);
}

int TempFile::OpenForReading() {
  if (!created_ || write_fd_ >= 0 || read_fd_ >= 0) return kOpenFailed;
  int error = 0;
  read_fd_ = OpenForRead(path_.c_str(), &error);
  if (read_fd_ < 0) return DiagnoseTempReopen(path_.c_str());
  return kOk;
}

long TempFile::Read(char* buffer, std::size_t size) {
  if (read_fd_ < 0) return -1;
  int error = 0;
  return ReadSome(read_fd_, buffer, size, &error);
}

bool TemplateUsesCrLf(const char* template_path) {
  int error = 0;
  int fd = OpenForRead(template_path, &error);
  if (fd < 0) return false;
  char chunk[4096];
  char previous = 0;
  bool crlf = false;
  for (;;) {
    long count = ReadSome(fd, chunk, sizeof chunk, &error);
    if (count <= 0) break;
    const char* line_feed =
        static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(count)));
    if (line_feed != nullptr) {
      crlf = (line_feed == chunk ? previous : line_feed[-1]) == '\r';
      break;
    }
    previous = chunk[count - 1];
  }
  CloseFd(fd, &error);
  return crlf;
}

int CopyBack(TempFile& temp, const char* template_path, bool fold_line_feeds, bool crlf) {
  int error = 0;
  // Written in place rather than truncated on open: the template keeps its inode, mode and
  // links, and on a nearly full disk the blocks it already holds are reused.
  int fd = OpenForWriteExisting(template_path, &error);
  if (fd < 0) return DiagnoseTemplateOpen(template_path);

  std::unique_ptr<char[]> input(new char[kCopyChunkSize]);
  // Line feeds become CR LF in a buffer of their own (every byte at most two); otherwise the
  // output only ever drops bytes and is built in place.
  std::unique_ptr<char[]> crlf_output(crlf ? new char[2 * kCopyChunkSize] : nullptr);
  char* output = crlf ? crlf_output.get() : input.get();
  std::uint64_t written = 0;
  char previous = 0;  // the byte read before the current one, written or not
  int result = kOk;
  for (;;) {
    long count = temp.Read(input.get(), kCopyChunkSize);
    if (count == 0) break;
    if (count < 0) {
      result = kOpenFailed;
      break;
    }
    std::size_t length = ConvertLineEnds(input.get(), static_cast<std::size_t>(count), output,
                                         fold_line_feeds, crlf, &previous);
    if (!WriteAll(fd, output, length, &error)) {
      result = WriteFailureCode(error, template_path, kTemplateDiskFull);
      break;
    }
    written += length;
  }
  if (result == kOk && !TruncateFd(fd, written, &error)) result = kOpenFailed;
  if (!CloseFd(fd, &error) && result == kOk) {
    result = WriteFailureCode(error, template_path, kTemplateDiskFull);
  }
  // The template may now hold part of the new text: the temporary file is its only full copy.
  if (result != kOk) temp.Keep();
  return result;
}

int OverwriteInPlace(const char* path, const char* data, std::size_t size) {
  int error = 0;
  int fd = OpenForWriteExisting(path, &error);
  if (fd < 0) return DiagnoseTemplateOpen(path);
  int result = kOk;
  if (!WriteAll(fd, data, size, &error)) {
    result = WriteFailureCode(error, path, kTemplateDiskFull);
  } else if (!TruncateFd(fd, size, &error)) {
    result = kOpenFailed;
  }
  if (!CloseFd(fd, &error) && result == kOk) {
    result = WriteFailureCode(error, path, kTemplateDiskFull);
  }
  return result;
}

int DiskFullCode(const char* path) {
  bool ok = false;
  std::uint64_t free_bytes = FreeBytes(path, &ok);
  if (!ok || free_bytes < 1) return kTempDiskFull;
  return kOk;
}

}  // namespace zrtmask
