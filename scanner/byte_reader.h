// A byte reader over a file descriptor with a fixed read buffer, for the HTML item scanner.
// A carriage return directly followed by a line feed reads as that one line feed, so files
// with CR LF line ends scan exactly like files with LF ones; a lone carriage return stays.
#ifndef ZRTMASK_SCANNER_BYTE_READER_H_
#define ZRTMASK_SCANNER_BYTE_READER_H_

#include <cassert>
#include <cstddef>
#include <cstring>

namespace zrtmask {

// What Get and Peek answer once every byte has been read.
constexpr int kEndOfInput = -1;

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;
  // Closes the file, if one is open.
  ~ByteReader();

  // Opens path and reads the first block, so that a path that opens but cannot be read (a
  // directory) fails here. Returns true, or false with the errno in *error. Requires that no
  // file is open yet.
  bool Open(const char* path, int* error);

  // Reads the next byte (0 to 255), or kEndOfInput. A read error counts as the end of input.
  int Get() {
    if (position_ == end_ && !Refill()) return kEndOfInput;
    return static_cast<unsigned char>(buffer_[position_++]);
  }
  // The byte that Get would answer next, without reading it.
  int Peek() {
    if (position_ == end_ && !Refill()) return kEndOfInput;
    return static_cast<unsigned char>(buffer_[position_]);
  }
  // Pushes back c, the value the last Get answered, so that Get answers it again. One byte at
  // most can be pushed back; pushing back kEndOfInput does nothing.
  void Unget(int c) {
    if (c == kEndOfInput) return;
    assert(position_ > 0 && static_cast<unsigned char>(buffer_[position_ - 1]) == c);
    --position_;
  }

  // Moves the bytes ahead into dest, up to the first byte that stops[byte] marks nonzero, at
  // most max bytes and only as far as the block already read. Returns how many were moved;
  // they count as read. Lets the scanner take a run of plain characters in one step.
  std::size_t TakeRun(const unsigned char* stops, char* dest, std::size_t max) {
    const unsigned char* first = reinterpret_cast<const unsigned char*>(buffer_) + position_;
    std::size_t available = end_ - position_;
    const unsigned char* last = first + (available < max ? available : max);
    const unsigned char* cursor = first;
    while (cursor != last && stops[*cursor] == 0) ++cursor;
    std::size_t count = static_cast<std::size_t>(cursor - first);
    std::memcpy(dest, first, count);
    position_ += count;
    return count;
  }

 private:
  // Size of one read. Large enough that the system calls cost little next to the scanning.
  static constexpr std::size_t kBlockSize = 64 * 1024;

  // Reads the next block once the current one is used up. Returns false at the end of input.
  bool Refill();
  // Drops each carriage return that a line feed follows within buffer_[from, to). Returns the
  // new end of the data.
  std::size_t FoldLineEnds(std::size_t from, std::size_t to);

  int fd_ = -1;
  bool at_end_ = false;       // the file has no more bytes (or a read failed)
  bool pending_cr_ = false;   // a block ended in a carriage return, not yet handed out
  int read_error_ = 0;        // errno of the read that failed, 0 when none did
  std::size_t position_ = 0;  // next byte to hand out
  std::size_t end_ = 0;       // end of the bytes read
  // One byte in front of each block keeps the last byte of the previous one, so that it can
  // be pushed back after a refill.
  char buffer_[1 + kBlockSize];
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_BYTE_READER_H_
