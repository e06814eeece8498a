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

}  // namespace

TempFile::~TempFile() {
  int error = 0;
  CloseFd(write_fd_, &error);
  CloseFd(read_fd_, &error);
  if (created_ && !keep_) RemoveFile(path_.c_str(), &error);
}

int TempFile::Create() {
  if (created_) return kOpenFailed;
  buffer_ = std::make_unique<char[]>(kBufferSize);
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
  if (buffered_ + size > kBufferSize) {
    if (!Flush()) return false;
    if (size >= kBufferSize) {
      // A large piece goes straight to the file rather than through the buffer.
      if (!WriteAll(write_fd_, data, size, &write_error_) && write_error_ == 0) write_error_ = EIO;
      return write_error_ == 0;
    }
  }
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

  auto input = std::make_unique<char[]>(kCopyChunkSize);
  // Every input byte becomes at most two output bytes (CR LF).
  auto output = std::make_unique<char[]>(2 * kCopyChunkSize);
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
    std::size_t length = 0;
    for (long index = 0; index < count; ++index) {
      char byte = input[static_cast<std::size_t>(index)];
      if (byte == '\n') {
        if (fold_line_feeds && previous == '\n') continue;
        if (crlf && previous != '\r') output[length++] = '\r';
      }
      output[length++] = byte;
      previous = byte;
    }
    if (!WriteAll(fd, output.get(), length, &error)) {
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

int DiskFullCode(const char* path) {
  bool ok = false;
  std::uint64_t free_bytes = FreeBytes(path, &ok);
  if (!ok || free_bytes < 1) return kTempDiskFull;
  return kOk;
}

}  // namespace zrtmask
