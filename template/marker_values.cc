// The marker-value insertion: the producer of the marker rewrites, which copies the template
// through the marker tokenizer and inserts a value after the first processing marker of a kind.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <utility>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/failures.h"
#include "base/platform.h"
#include "template/pipeline.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::kOk;

// An input buffer over a descriptor, read in blocks by offset from its start through the
// platform layer. A failed read ends the input and is kept.
class DescriptorStreamBuf : public std::streambuf {
 public:
  explicit DescriptorStreamBuf(int fd) : fd_(fd), buffer_(new char[kSize]) {}
  int error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (error_ != 0) return traits_type::eof();
    const long count = zrtmask::ReadAt(fd_, buffer_.get(), kSize, offset_, &error_);
    if (count <= 0) return traits_type::eof();
    offset_ += static_cast<std::uint64_t>(count);
    setg(buffer_.get(), buffer_.get(), buffer_.get() + count);
    return traits_type::to_int_type(*gptr());
  }

 private:
  static constexpr std::size_t kSize = 1 << 16;
  int fd_;
  int error_ = 0;
  std::uint64_t offset_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// An output buffer that hands every byte to a sink; the sink buffers and keeps the first error.
class SinkStreamBuf : public std::streambuf {
 public:
  explicit SinkStreamBuf(zrtmask::ByteSink& sink) : sink_(sink) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return sink_.Write(&byte, 1) ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    return sink_.Write(data, static_cast<std::size_t>(size)) ? size : 0;
  }

 private:
  zrtmask::ByteSink& sink_;
};

// The marker search: the next state for each token (rows, by token value) and current state
// (columns). State 1 follows a "<", state 2 the keyword, state 3 is the closing ">". Blanks and
// line feeds may surround the keyword; another "<" starts afresh; anything else abandons.
constexpr int kMarkerFound = 3;
constexpr int kMarkerTable[10][3] = {
    {1, 1, 1},  // TOKEN_LT
    {0, 1, 2},  // TOKEN_BLANK
    {0, 0, 3},  // TOKEN_GT
    {0, 1, 2},  // TOKEN_NEWLINE
    {0, 2, 0},  // TOKEN_START
    {0, 0, 0},  // TOKEN_OTHER
    {0, 2, 0},  // TOKEN_ANNOT
    {0, 2, 0},  // TOKEN_URL
    {0, 2, 0},  // TOKEN_DBACCESS
    {0, 2, 0},  // TOKEN_INDEX
};

// The value's UTF-8 form, up to its first zero byte.
std::vector<char> ValueBytes(const ZRTUnicodeString& value) {
  std::vector<char> bytes(static_cast<std::size_t>(value.GetLengthInChar()) * 4 + 4);
  unsigned int length = 0;
  value.ConvertToUTF8(bytes.data(), &length);
  bytes.resize(length);
  bytes.erase(std::find(bytes.begin(), bytes.end(), '\0'), bytes.end());
  return bytes;
}

// The tokenizer of the template object, as the producer drives it: bind streams, read one token,
// read one character.
struct Tokenizer {
  std::function<void(std::istream*, std::ostream*)> bind;
  std::function<int()> next_token;
  std::function<int()> read_char;
};

// The producer of a marker rewrite: echoes the template through the tokenizer into the sink
// and writes the value after the first marker of the tokenizer's kind.
class MarkerValueProducer : public zrtmask::Producer {
 public:
  MarkerValueProducer(std::vector<char> value, Tokenizer tokenizer)
      : value_(std::move(value)), tokenizer_(std::move(tokenizer)) {}

  int Open(int template_fd) override {
    fd_ = template_fd;
    return kOk;
  }

  int Produce(zrtmask::ByteSink& sink) override {
    DescriptorStreamBuf template_buffer(fd_);
    std::istream template_stream(&template_buffer);
    SinkStreamBuf temp_buffer(sink);
    std::ostream temp_stream(&temp_buffer);
    // The tokenizer's streams live for this call only; they are unhooked on every return.
    struct StreamBinding {
      const Tokenizer& tokenizer;
      ~StreamBinding() { tokenizer.bind(nullptr, nullptr); }
    } binding{tokenizer_};
    tokenizer_.bind(&template_stream, &temp_stream);
    int state = 0;
    while (template_stream.good()) {
      state = kMarkerTable[tokenizer_.next_token()][state];
      if (state == kMarkerFound) {
        temp_stream.put('\n');
        temp_stream.write(value_.data(), static_cast<std::streamsize>(value_.size()));
        temp_stream.put('\n');
        break;
      }
    }
    // The rest goes through the tokenizer's reader too: every line end reaches the sink as one
    // line feed, which the sink writes as the template's line end.
    while (tokenizer_.read_char() >= 0) {
    }
    // A read error (a directory, an I/O error) would cut the template short.
    return template_buffer.error() != 0 ? zrtmask::kTemplateNotWritable : kOk;
  }

 private:
  std::vector<char> value_;
  Tokenizer tokenizer_;
  int fd_ = -1;
};

}  // namespace

int ZRTHtmlFile::setZRTToken(ZRTUnicodeString value, Tokens kind) {
  if (_path == nullptr) return zrtmask::kTemplateMissing;
  return zrtmask::CatchAll([&] {
    zrtmask::ClearFailureDetail();
    _tokenKind = kind;
    Tokenizer tokenizer{[this](std::istream* in, std::ostream* out) {
                          _inStream = in;
                          _outStream = out;
                        },
                        [this] { return static_cast<int>(getNextToken()); },
                        [this] { return readTokenChar(); }};
    MarkerValueProducer producer(ValueBytes(value), std::move(tokenizer));
    return zrtmask::RunStagedRewrite(_path, producer, zrtmask::RewriteKind::kMarkerValue);
  });
}

int ZRTHtmlFile::SetZRTStart(ZRTUnicodeString value) {
  return setZRTToken(std::move(value), TOKEN_START);
}

int ZRTHtmlFile::SetZRTAnnotations(ZRTUnicodeString value) {
  return setZRTToken(std::move(value), TOKEN_ANNOT);
}

int ZRTHtmlFile::SetZRTURL(ZRTUnicodeString value) {
  return setZRTToken(std::move(value), TOKEN_URL);
}

int ZRTHtmlFile::SetZRTDBAccess(ZRTUnicodeString value) {
  return setZRTToken(std::move(value), TOKEN_DBACCESS);
}
