// A byte reader over a file descriptor with a fixed read buffer, for the HTML item scanner.
// A carriage return directly followed by a line feed reads as that one line feed, so files
// with CR LF line ends scan exactly like files with LF ones; a lone carriage return stays.
#ifndef ZRTMASK_SCANNER_BYTE_READER_H_
#define ZRTMASK_SCANNER_BYTE_READER_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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
  // Reads size bytes at data instead of a file; they must stay valid and unchanged while the
  // reader is in use. CR LF folds as in a file, and Offset maps back to positions in data.
  // Requires that no file is open yet. Reading may then allocate (may throw std::bad_alloc).
  void OpenBytes(const char* data, std::size_t size);
  // For a reader over bytes: the offset in data at which the original bytes of the next byte
  // to hand out start (a line feed folded from CR LF starts at its CR); size at the end. With
  // back = 1, the same for the byte handed out last.
  std::size_t Offset(std::size_t back = 0) const;

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

  // Moves the bytes ahead into dest, up to the first byte that Stops::kTable marks nonzero,
  // at most max bytes and only as far as the block already read. Returns how many were moved;
  // they count as read. Lets the scanner take a run of plain characters in one step.
  //
  // Stops provides kTable (256 entries), which must mark the line feed: a line feed always
  // ends a run, and one is kept behind the block so that the byte loop needs no bounds test.
  // When Stops::kWordWise is true, Stops::MayStop(word) tells whether 8 bytes read as one
  // word may hold a stop (false means they surely do not), so long runs move 8 bytes a step.
  // errno of a read that failed, 0 when none did. Get and Peek answer kEndOfInput after it.
  int read_error() const { return read_error_; }

  template <typename Stops>
  std::size_t TakeRun(char* dest, std::size_t max) {
    assert(Stops::kTable['\n'] != 0 && buffer_[end_] == '\n');
    const unsigned char* const first = reinterpret_cast<const unsigned char*>(buffer_) + position_;
    const std::size_t available = end_ - position_;
    std::size_t count = 0;
    if (Stops::kWordWise) {
      constexpr std::size_t kWord = sizeof(std::uint64_t);
      const std::size_t words_end = (available < max ? available : max) & ~(kWord - 1);
      for (std::uint64_t word; count < words_end; count += kWord) {
        std::memcpy(&word, first + count, kWord);
        if (Stops::MayStop(word)) break;
        std::memcpy(dest + count, &word, kWord);
      }
    }
    if (max >= available) {
      for (unsigned char byte = first[count]; Stops::kTable[byte] == 0; byte = first[++count]) {
        dest[count] = static_cast<char>(byte);
      }
    } else {
      for (; count < max && Stops::kTable[first[count]] == 0; ++count) {
        dest[count] = static_cast<char>(first[count]);
      }
    }
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

  // Fills buffer_ from source_ rather than from the file; the same contract as Refill.
  bool RefillFromBytes(std::size_t kept);

  int fd_ = -1;
  // Reading bytes instead of a file (OpenBytes): the bytes, the next one to copy, the offset in
  // source_ of the block's first new byte and of the byte kept in buffer_[0], and the buffer
  // positions of the line feeds whose CR was dropped, in order.
  const char* source_ = nullptr;
  std::size_t source_size_ = 0;
  std::size_t source_next_ = 0;
  std::size_t block_origin_ = 0;
  std::size_t block_start_ = 0;  // buffer position of the block's first new byte
  std::size_t kept_origin_ = 0;
  std::vector<std::size_t> folded_;
  bool at_end_ = false;       // the file has no more bytes (or a read failed)
  bool pending_cr_ = false;   // a block ended in a carriage return, not yet handed out
  int read_error_ = 0;        // errno of the read that failed, 0 when none did
  std::size_t position_ = 0;  // next byte to hand out
  std::size_t end_ = 0;       // end of the bytes read
  // One byte in front of each block keeps the last byte of the previous one, so that it can
  // be pushed back after a refill; one behind it holds the line feed that ends every run.
  char buffer_[1 + kBlockSize + 1];
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_BYTE_READER_H_
