// The byte reader of the HTML item scanner: block reads through base/platform.h and the
// folding of CR LF line ends.
#include "scanner/byte_reader.h"

#include "base/platform.h"

namespace zrtmask {

ByteReader::~ByteReader() {
  int ignored_error = 0;
  CloseFd(fd_, &ignored_error);
}

bool ByteReader::Open(const char* path, int* error) {
  assert(fd_ < 0);
  fd_ = OpenForRead(path, error);
  if (fd_ < 0) return false;
  // A directory opens for reading on Linux; only its first read fails (EISDIR).
  Refill();
  if (read_error_ != 0) {
    *error = read_error_;
    int ignored_error = 0;
    CloseFd(fd_, &ignored_error);
    fd_ = -1;
    return false;
  }
  return true;
}

bool ByteReader::Refill() {
  assert(position_ == end_);
  if (at_end_) return false;
  std::size_t kept = 0;
  if (end_ > 0) {
    buffer_[0] = buffer_[end_ - 1];
    kept = 1;
  }
  position_ = kept;
  end_ = kept;
  for (;;) {
    std::size_t filled = kept;
    if (pending_cr_) {
      buffer_[filled++] = '\r';
      pending_cr_ = false;
    }
    long count = ReadSome(fd_, buffer_ + filled, 1 + kBlockSize - filled, &read_error_);
    if (count <= 0) {
      // The carriage return held back, if any, ended the file: it is a lone one.
      at_end_ = true;
      end_ = filled;
      MarkEnd();
      return end_ > position_;
    }
    filled += static_cast<std::size_t>(count);
    end_ = FoldLineEnds(kept, filled);
    // A carriage return at the end of the block may be the first half of a CR LF: keep it
    // back until the next block shows what follows.
    if (end_ > kept && buffer_[end_ - 1] == '\r') {
      pending_cr_ = true;
      --end_;
    }
    MarkEnd();
    if (end_ > position_) return true;
  }
}

std::size_t ByteReader::FoldLineEnds(std::size_t from, std::size_t to) {
  char* const last = buffer_ + to;
  char* cursor = static_cast<char*>(std::memchr(buffer_ + from, '\r', to - from));
  if (cursor == nullptr) return to;
  char* out = cursor;
  // Each step moves one stretch that starts at a carriage return (or at the line feed after
  // a dropped one) and runs up to the next carriage return.
  while (cursor != last) {
    if (cursor + 1 != last && cursor[1] == '\n') ++cursor;
    char* next = static_cast<char*>(
        std::memchr(cursor + 1, '\r', static_cast<std::size_t>(last - cursor - 1)));
    if (next == nullptr) next = last;
    std::size_t length = static_cast<std::size_t>(next - cursor);
    std::memmove(out, cursor, length);
    out += length;
    cursor = next;
  }
  return static_cast<std::size_t>(out - buffer_);
}

}  // namespace zrtmask
