// A byte reader over a file descriptor with a fixed read buffer, for the HTML item scanner, and
// a cursor over its buffer that takes runs of bytes in bulk. A carriage return directly
// followed by a line feed reads as that one line feed, so files with CR LF line ends scan
// exactly like files with LF ones; a lone carriage return stays.
#ifndef ZRTMASK_SCANNER_BYTE_READER_H_
#define ZRTMASK_SCANNER_BYTE_READER_H_

#include <cassert>
#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zrtmask {

// What Get and Peek answer once every byte has been read.
constexpr int kEndOfInput = -1;

// 16 bytes as one value. GCC and Clang carry out operations on it with the processor's vector
// instructions where it has them (SSE2 on x86-64, NEON on ARM) and with plain ones elsewhere.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

constexpr Bytes16 Splat(unsigned char byte) {
  return Bytes16{byte, byte, byte, byte, byte, byte, byte, byte,
                 byte, byte, byte, byte, byte, byte, byte, byte};
}

// A test on 16 bytes at once that finds the bytes that may end a run: every byte below
// `below`, and each byte of `equal`. Derived from a table of stops by StopTestFor, so that the
// two cannot disagree; the table settles each byte that the test finds.
struct StopTest {
  static constexpr int kMaxEqual = 3;

  unsigned char below = 0;  // at most 33
  unsigned char equal[kMaxEqual] = {};
  int equal_count = 0;
  bool usable = true;  // false when the stops need more tests than there is room for

  // 0xff in each byte found, 0 in the others.
  Bytes16 Find(Bytes16 bytes) const {
    Bytes16 found = reinterpret_cast<Bytes16>(bytes < Splat(below));
    for (int i = 0; i < equal_count; ++i) {
      found |= reinterpret_cast<Bytes16>(bytes == Splat(equal[i]));
    }
    return found;
  }
};

// The test for a table of stops: below is one more than the highest stop up to the blank (so
// plain bytes from "!" up are never found needlessly); every stop above it is tested alone.
template <typename Table>
constexpr StopTest StopTestFor(const Table& stops) {
  StopTest test;
  for (unsigned c = 0; c <= ' '; ++c) {
    if (stops[static_cast<unsigned char>(c)] != 0) test.below = static_cast<unsigned char>(c + 1);
  }
  for (unsigned c = test.below; c < 256; ++c) {
    if (stops[static_cast<unsigned char>(c)] == 0) continue;
    if (test.equal_count == StopTest::kMaxEqual) {
      test.usable = false;
      break;
    }
    test.equal[test.equal_count++] = static_cast<unsigned char>(c);
  }
  return test;
}

class ByteCursor;

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
    if (next_ == end_ && !Refill()) return kEndOfInput;
    return *next_++;
  }
  // The byte that Get would answer next, without reading it.
  int Peek() {
    if (next_ == end_ && !Refill()) return kEndOfInput;
    return *next_;
  }
  // Pushes back c, the value the last Get answered, so that Get answers it again. One byte at
  // most can be pushed back; pushing back kEndOfInput does nothing.
  void Unget(int c) {
    if (c == kEndOfInput) return;
    assert(next_ > Bytes() && next_[-1] == c);
    --next_;
  }

  // errno of a read that failed, 0 when none did. Get and Peek answer kEndOfInput after it.
  int read_error() const { return read_error_; }

 private:
  friend class ByteCursor;

  // Size of one read. Large enough that the system calls cost little next to the scanning.
  static constexpr std::size_t kBlockSize = 64 * 1024;
  // Bytes kept behind the bytes read: as many as ByteCursor::TakeRun reads at once.
  static constexpr std::size_t kTail = 16;

  // Reads the next block once the current one is used up. Returns false at the end of input.
  bool Refill();
  // Puts line feeds behind the bytes read (see buffer_).
  void MarkEnd() { std::memset(buffer_ + end(), '\n', kTail); }
  // The buffer as bytes, and the reading place and the end of the bytes read as indices in it.
  const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(buffer_); }
  std::size_t position() const { return static_cast<std::size_t>(next_ - Bytes()); }
  std::size_t end() const { return static_cast<std::size_t>(end_ - Bytes()); }
  void set_position(std::size_t position) { next_ = Bytes() + position; }
  void set_end(std::size_t end) { end_ = Bytes() + end; }
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
  // Pointers rather than indices, so that a ByteCursor takes them over as they are.
  const unsigned char* next_ = Bytes();  // next byte to hand out
  const unsigned char* end_ = Bytes();   // end of the bytes read
  // One byte in front of each block keeps the last byte of the previous one, so that it can
  // be pushed back after a refill. The kTail bytes behind the bytes read are line feeds: the
  // first ends every run, and ByteCursor::TakeRun may read 16 bytes from any byte before it.
  char buffer_[1 + kBlockSize + kTail];
};

// A reading place in a ByteReader's block, for a loop that reads many bytes: held in a local
// variable, its place can live in registers, which the reader's own fields cannot once bytes
// are stored through a char pointer (the compiler must assume that such a store changes them).
// It takes over the reader's place when made and hands it back when destroyed; the reader is
// not to be used directly in between.
class ByteCursor {
 public:
  explicit ByteCursor(ByteReader& reader)
      : reader_(reader), next_(reader.next_), end_(reader.end_) {}
  ByteCursor(const ByteCursor&) = delete;
  ByteCursor& operator=(const ByteCursor&) = delete;
  ~ByteCursor() { reader_.next_ = next_; }

  // As ByteReader's Get, Peek and Unget. The end of the block is where its tail starts with a
  // line feed, so only a line feed needs the test for it.
  int Get() {
    if (*next_ == '\n' && next_ == end_ && !Refill()) return kEndOfInput;
    return *next_++;
  }
  int Peek() {
    if (*next_ == '\n' && next_ == end_ && !Refill()) return kEndOfInput;
    return *next_;
  }
  void Unget(int c) {
    if (c == kEndOfInput) return;
    assert(next_ > reader_.Bytes() && *(next_ - 1) == c);
    --next_;
  }

  // Moves the bytes ahead into dest, up to the first byte that Stops::kTable marks nonzero,
  // at most max bytes and only as far as the block already read. Returns how many were moved;
  // they count as read. Lets the scanner take a run of plain characters in one step.
  //
  // Stops::kTable is a constexpr table of 256 entries, which must mark the line feed: a line
  // feed always ends a run, and one is kept behind the block so that the byte loop needs no
  // bounds test. Runs move 16 bytes a step, through a test derived from the table
  // (StopTestFor), and settle in the table each byte that the test finds.
  template <typename Stops>
  std::size_t TakeRun(char* dest, std::size_t max) {
    static constexpr StopTest kTest = StopTestFor(Stops::kTable);
    static_assert(kStep <= ByteReader::kTail, "a step may read behind the bytes read");
    assert(Stops::kTable['\n'] != 0 && *end_ == '\n');
    const unsigned char* const first = next_;
    if (Stops::kTable[*first] != 0) return 0;  // many runs are empty: a quote after "=", say
    std::size_t count = 0;
    // The line feed at the end of the block ends every run, and a step may read into the tail
    // behind it: only dest needs a bound.
    for (;;) {
      if (!kTest.usable || count + kStep > max) {  // near the end of dest: one byte at a time
        for (; count < max && Stops::kTable[first[count]] == 0; ++count) {
          dest[count] = static_cast<char>(first[count]);
        }
        break;
      }
      Bytes16 bytes;
      std::memcpy(&bytes, first + count, kStep);
      std::memcpy(dest + count, &bytes, kStep);
      const unsigned found = FoundBits(kTest.Find(bytes));
      if (found == 0) {
        count += kStep;
        continue;
      }
      count += FirstFound(found);
      if (Stops::kTable[first[count]] != 0) break;
      ++count;  // a plain byte that the test could not tell from a stop
    }
    next_ += count;
    return count;
  }

 private:
  static constexpr std::size_t kStep = sizeof(Bytes16);

  // One bit for each byte of found, set for a marked byte; bit i for the byte at index i in
  // memory order.
  static unsigned FoundBits(Bytes16 found) {
#if defined(__SSE2__)
    return static_cast<unsigned>(_mm_movemask_epi8(reinterpret_cast<__m128i>(found)));
#else
    unsigned bits = 0;
    for (std::size_t i = 0; i < kStep; ++i) bits |= (found[i] != 0 ? 1u : 0u) << i;
    return bits;
#endif
  }
  // Index of the first byte marked in bits, which are not all 0.
  static std::size_t FirstFound(unsigned bits) {
    return static_cast<std::size_t>(__builtin_ctz(bits));
  }
  // Reads the next block once this one is used up. Returns false at the end of input.
  bool Refill() {
    reader_.next_ = next_;
    const bool more = reader_.Refill();
    next_ = reader_.next_;
    end_ = reader_.end_;
    return more;
  }

  ByteReader& reader_;
  const unsigned char* next_;  // the next byte to hand out
  const unsigned char* end_;   // the end of the bytes read; a line feed lies there
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_BYTE_READER_H_
