// The byte reader of the HTML item scanner: block reads through base/platform.h and the
// folding of CR LF line ends.
#include "scanner/byte_reader.h"

#include <algorithm>

#include "base/platform.h"

namespace zrtmask {

ByteReader::~ByteReader() {
  int ignored_error = 0;
  if (owns_fd_) CloseFd(fd_, &ignored_error);
}

bool ByteReader::OpenDescriptor(int fd, int* error) {
  assert(fd_ < 0 && source_ == nullptr);
  fd_ = fd;
  owns_fd_ = false;
  Refill();
  *error = read_error_;
  return read_error_ == 0;
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

void ByteReader::OpenBytes(const char* data, std::size_t size) {
  assert(fd_ < 0 && source_ == nullptr);
  source_ = data;
  source_size_ = size;
  // As Open does, read the first block now: the scanner's runs expect bytes, or the line feeds
  // that end them, at the reading place from the start.
  Refill();
}

std::size_t ByteReader::Offset(std::size_t back) const {
  assert(source_ != nullptr && back <= position());
  const std::size_t position = this->position() - back;
  if (position < block_start_) return kept_origin_;
  const std::size_t dropped_before = static_cast<std::size_t>(
      std::lower_bound(folded_.begin(), folded_.end(), position) - folded_.begin());
  return block_origin_ + (position - block_start_) + dropped_before;
}

bool ByteReader::Refill() {
  assert(next_ == end_);
  if (at_end_) return false;
  std::size_t kept = 0;
  if (end() > 0) {
    if (source_ != nullptr) kept_origin_ = Offset(1);
    buffer_[0] = buffer_[end() - 1];
    kept = 1;
  }
  if (source_ != nullptr) return RefillFromBytes(kept);
  set_position(kept);
  set_end(kept);
  for (;;) {
    std::size_t filled = kept;
    if (pending_cr_) {
      buffer_[filled++] = '\r';
      pending_cr_ = false;
    }
    long count = owns_fd_ ? ReadSome(fd_, buffer_ + filled, 1 + kBlockSize - filled, &read_error_)
                          : ReadAt(fd_, buffer_ + filled, 1 + kBlockSize - filled, file_offset_,
                                   &read_error_);
    if (count > 0) file_offset_ += static_cast<std::uint64_t>(count);
    if (count <= 0) {
      // The carriage return held back, if any, ended the file: it is a lone one.
      at_end_ = true;
      set_end(filled);
      MarkEnd();
      return end_ > next_;
    }
    filled += static_cast<std::size_t>(count);
    set_end(FoldLineEnds(kept, filled));
    // A carriage return at the end of the block may be the first half of a CR LF: keep it
    // back until the next block shows what follows.
    if (end() > kept && buffer_[end() - 1] == '\r') {
      pending_cr_ = true;
      --end_;
    }
    MarkEnd();
    if (end_ > next_) return true;
  }
}

bool ByteReader::RefillFromBytes(std::size_t kept) {
  set_position(kept);
  block_start_ = kept;
  block_origin_ = source_next_;
  folded_.clear();
  std::size_t count = std::min(kBlockSize, source_size_ - source_next_);
  // A CR LF never straddles two blocks: a block that would end in its CR ends before it.
  if (count > 1 && source_next_ + count < source_size_ &&
      source_[source_next_ + count - 1] == '\r' && source_[source_next_ + count] == '\n') {
    --count;
  }
  const char* from = source_ + source_next_;
  const char* const last = from + count;
  source_next_ += count;
  char* out = buffer_ + kept;
  // Each step copies one stretch up to a CR that a line feed follows, and drops that CR.
  for (;;) {
    const char* cr =
        static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(last - from)));
    while (cr != nullptr && (cr + 1 == last || cr[1] != '\n')) {
      cr = static_cast<const char*>(
          std::memchr(cr + 1, '\r', static_cast<std::size_t>(last - cr - 1)));
    }
    const char* stop = cr == nullptr ? last : cr;
    std::memcpy(out, from, static_cast<std::size_t>(stop - from));
    out += stop - from;
    if (cr == nullptr) break;
    folded_.push_back(static_cast<std::size_t>(out - buffer_));
    from = cr + 1;
  }
  set_end(static_cast<std::size_t>(out - buffer_));
  at_end_ = source_next_ == source_size_;
  MarkEnd();
  return end_ > next_;
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
