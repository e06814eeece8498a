// A byte reader over a file descriptor with a fixed read buffer, for the HTML item scanner, and
// a cursor over its buffer that takes runs of bytes in bulk. A carriage return directly
// followed by a line feed reads as that one line feed, so files with CR LF line ends scan
// exactly like files with LF ones; a lone carriage return stays.
#ifndef ZRTMASK_SCANNER_BYTE_READER_H_
#define ZRTMASK_SCANNER_BYTE_READER_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zrtmask {

// What ByteCursor's reads answer once every byte has been read.
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
  // Reads the open file fd from its start (by offset: the descriptor's own position is left
  // alone), without owning it: fd must stay open while the reader is in use. Reads the first
  // block as Open does. Returns true, or false with the errno in *error.
  bool OpenDescriptor(int fd, int* error);
  // Reads size bytes at data instead of a file; they must stay valid and unchanged while the
  // reader is in use. CR LF folds as in a file, and Offset maps back to positions in data.
  // Requires that no file is open yet. Reading may then allocate (may throw std::bad_alloc).
  void OpenBytes(const char* data, std::size_t size);
  // For a reader over bytes: the offset in data at which the original bytes of the next byte
  // to hand out start (a line feed folded from CR LF starts at its CR); size at the end. With
  // back = 1, the same for the byte handed out last.
  std::size_t Offset(std::size_t back = 0) const;

  // Reads the next block once the current one is used up (a ByteCursor answered kEndOfBlock),
  // keeping the last byte before it so that it can be pushed back. Returns false at the end of
  // input; a read error counts as the end of input.
  bool Refill();

  // errno of a read that failed, 0 when none did. Reads answer kEndOfInput after it.
  int read_error() const { return read_error_; }

  // Set by the scanner when a name or value was longer than its buffer and was cut.
  bool item_cut = false;

 private:
  friend class ByteCursor;

  // Size of one read. Large enough that the system calls cost little next to the scanning.
  static constexpr std::size_t kBlockSize = 64 * 1024;
  // Bytes kept behind the bytes read: as many as ByteCursor::TakeRun reads at once.
  static constexpr std::size_t kTail = 16;

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
  bool owns_fd_ = true;
  std::uint64_t file_offset_ = 0;  // of the next read, for a borrowed descriptor
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

// What ByteCursor's reads answer at the end of the block when the file may go on: the scanner
// then hands its place back, has the reader read the next block, and carries on.
constexpr int kEndOfBlock = -2;

// A reading place in a ByteReader's block, for a loop that reads many bytes: held in a local
// variable, its place can live in a register, which the reader's own field cannot once bytes
// are stored through a char pointer (the compiler must assume that such a store changes it).
// It takes over the reader's place when made and hands it back when destroyed; the reader is
// not to be used directly in between. It never reads the next block itself, so that the loop
// using it calls no function.
class ByteCursor {
 public:
  explicit ByteCursor(ByteReader& reader) : reader_(reader), next_(reader.next_) {}
  ByteCursor(const ByteCursor&) = delete;
  ByteCursor& operator=(const ByteCursor&) = delete;
  ~ByteCursor() { reader_.next_ = next_; }

  // Get reads the next byte (0 to 255), Peek answers it without reading it: kEndOfInput once
  // every byte has been read, kEndOfBlock where the block is used up and the file may go on.
  // The end of the block is where its tail starts with a line feed, so only a line feed needs
  // the test for it.
  int Get() {
    const int c = *next_;
    if (c == '\n' && next_ == reader_.end_) return Ended();
    ++next_;
    return c;
  }
  int Peek() const {
    const int c = *next_;
    if (c == '\n' && next_ == reader_.end_) return Ended();
    return c;
  }
  // Reads the next byte when it is byte, which must not be a line feed. Returns whether it did.
  bool TakeIf(unsigned char byte) {
    assert(byte != '\n');
    if (*next_ != byte) return false;
    ++next_;
    return true;
  }
  // Pushes back c, the value the last Get answered, so that Get answers it again. One byte at
  // most can be pushed back, which may be the last one of the block before (the reader keeps it
  // in front of the next); pushing back kEndOfInput does nothing.
  void Unget(int c) {
    if (c == kEndOfInput) return;
    assert(next_ > reader_.Bytes() && *(next_ - 1) == c);
    --next_;
  }

  // Appends the bytes ahead to buffer, which holds length bytes, up to a byte that
  // Stops::kTable may mark nonzero, up to limit bytes in the buffer and only as far as the
  // block already read. Returns how many were appended; they count as read. Lets the scanner
  // take a run of plain characters in one step.
  //
  // Stops::kTable is a constexpr table of 256 entries, which must mark the line feed: a line
  // feed always ends a run, and one is kept behind the block so that the loop needs no bounds
  // test. Runs move 16 bytes a step, through a test derived from the table (StopTestFor). The
  // test finds every byte that the table marks, and a few that it does not (below its bound):
  // such a byte ends the run too, and the caller reads it as the plain byte it is. Where runs
  // are mostly empty (kOftenEmpty), the first byte is tested alone first, for less than a step.
  template <typename Stops, bool kOftenEmpty = false>
  int TakeRun(char* buffer, int length, int limit) {
    static constexpr StopTest kTest = StopTestFor(Stops::kTable);
    static_assert(kStep <= ByteReader::kTail, "a step may read behind the bytes read");
    assert(Stops::kTable['\n'] != 0 && *reader_.end_ == '\n');
    if (kOftenEmpty && Stops::kTable[*next_] != 0) return 0;
    char* const dest = buffer + length;
    if (!kTest.usable || length > limit - kStepInt) {
      return TakeRunByBytes<Stops>(dest, limit - length);
    }
    // Most runs are shorter than a step: the first step is kept apart from the loop.
    const unsigned found = Step<Stops>(next_, dest);
    if (found == 0) return TakeLongRun<Stops>(dest, limit - length);
    const unsigned count = FirstFound(found);
    next_ += count;
    return static_cast<int>(count);
  }

 private:
  static constexpr std::size_t kStep = sizeof(Bytes16);
  static constexpr int kStepInt = static_cast<int>(kStep);

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
  static unsigned FirstFound(unsigned bits) { return static_cast<unsigned>(__builtin_ctz(bits)); }
  // One step of a run: copies the 16 bytes at from to dest and answers which of them the test
  // of Stops finds (FoundBits).
  template <typename Stops>
  static unsigned Step(const unsigned char* from, char* dest) {
    static constexpr StopTest kTest = StopTestFor(Stops::kTable);
    Bytes16 bytes;
    std::memcpy(&bytes, from, kStep);
    std::memcpy(dest, &bytes, kStep);
    return FoundBits(kTest.Find(bytes));
  }
  // TakeRun past its first step, which found 16 plain bytes (they are in dest already).
  template <typename Stops>
  int TakeLongRun(char* dest, int max) {
    // The line feed at the end of the block ends every run, and a step may read into the tail
    // behind it: only dest needs a bound.
    next_ += kStep;
    int count = kStepInt;
    for (;;) {
      if (count > max - kStepInt) {  // near the end of dest: one byte at a time
        return count + TakeRunByBytes<Stops>(dest + count, max - count);
      }
      const unsigned found = Step<Stops>(next_, dest + count);
      if (found != 0) {
        const unsigned last = FirstFound(found);
        next_ += last;
        return count + static_cast<int>(last);
      }
      next_ += kStep;
      count += kStepInt;
    }
  }
  // TakeRun one byte at a time, settling each byte in the table.
  template <typename Stops>
  int TakeRunByBytes(char* dest, int max) {
    int count = 0;
    for (; count < max && Stops::kTable[next_[count]] == 0; ++count) {
      dest[count] = static_cast<char>(next_[count]);
    }
    next_ += count;
    return count;
  }
  // At the end of the block: the end of the input, or of this block only.
  int Ended() const { return reader_.at_end_ ? kEndOfInput : kEndOfBlock; }

  ByteReader& reader_;
  const unsigned char* next_;  // the next byte to hand out
};

}  // namespace zrtmask

#endif  // ZRTMASK_SCANNER_BYTE_READER_H_
