// Rewrites that copy a template byte by byte: a value inserted after a processing marker, which
// goes through a temporary file and is copied back, and the whole text replaced by a mask file,
// which is read whole and written straight over the template.
#include <algorithm>
#include <cstddef>
#include <fstream>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "ZRTFileAccess.h"
#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "template/temp_file.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::kOk;

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

// The marker rewrite's code for a temporary file that could not be created: 8 when it cannot be
// written (no directory, no permission), 9 when the disk is full, 15 otherwise.
int MarkerTempCreateCode(int create_code) {
  switch (create_code) {
    case zrtmask::kTempNotWritable:
      return zrtmask::kTemplateNotWritable;
    case zrtmask::kTempDiskFull:
      return zrtmask::kTemplateDiskFull;
    default:
      return zrtmask::kOpenFailed;
  }
}

// Explains why the mask could not be opened: 22 absent, 21 not readable, 15 otherwise.
int DiagnoseMaskOpen(const char* mask_path) {
  if (ZRTFileAccess(mask_path, 0) == -1) return zrtmask::kMaskMissing;
  if (ZRTFileAccess(mask_path, 4) == -1) return zrtmask::kMaskUnreadable;
  return zrtmask::kOpenFailed;
}

// The value's UTF-8 form, up to its first zero byte.
std::vector<char> ValueBytes(const ZRTUnicodeString& value) {
  std::vector<char> bytes(static_cast<std::size_t>(value.GetLengthInChar()) * 4 + 4);
  unsigned int length = 0;
  value.ConvertToUTF8(bytes.data(), &length);
  bytes.resize(length);
  bytes.erase(std::find(bytes.begin(), bytes.end(), '\0'), bytes.end());
  return bytes;
}

}  // namespace

int ZRTHtmlFile::setZRTToken(ZRTUnicodeString value, Tokens kind) {
  if (_path == nullptr) return zrtmask::kTemplateMissing;
  // The tokenizer's streams live for this call only; they are unhooked on every return.
  struct StreamBinding {
    ZRTHtmlFile& file;
    StreamBinding(ZRTHtmlFile& bound, std::istream& in, std::ostream& out) : file(bound) {
      file._inStream = &in;
      file._outStream = &out;
    }
    ~StreamBinding() {
      file._inStream = nullptr;
      file._outStream = nullptr;
    }
  };
  try {
    _tokenKind = kind;
    zrtmask::TempFile temp;
    const int create_code = temp.Create();
    std::ifstream template_stream(_path, std::ios::binary);
    if (!template_stream.good()) {
      // Kept on purpose: an unreadable template leaves the new, empty temporary file behind,
      // as every failure after the temporary file was created does.
      if (create_code == kOk) temp.Keep();
      return zrtmask::kTemplateNotWritable;
    }
    if (create_code != kOk) return MarkerTempCreateCode(create_code);
    const bool crlf = zrtmask::TemplateUsesCrLf(_path);

    SinkStreamBuf temp_buffer(temp);
    std::ostream temp_stream(&temp_buffer);
    {
      StreamBinding binding(*this, template_stream, temp_stream);
      int state = 0;
      while (template_stream.good()) {
        state = kMarkerTable[getNextToken()][state];
        if (state == kMarkerFound) {
          const std::vector<char> bytes = ValueBytes(value);
          temp_stream.put('\n');
          temp_stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
          temp_stream.put('\n');
          break;
        }
      }
      // The rest goes through the tokenizer's reader too, so that every line end of the
      // temporary file is a single line feed and the copy back can restore CR LF throughout.
      while (readTokenChar() >= 0) {
      }
    }
    // A read error (a directory, an I/O error) would make the copy back cut the template short.
    if (template_stream.bad()) {
      temp.Keep();
      return zrtmask::kTemplateNotWritable;
    }
    template_stream.close();

    int code = temp.FinishWriting();
    if (code == kOk) code = temp.OpenForReading();
    if (code == kOk) code = zrtmask::CopyBack(temp, _path, /*fold_line_feeds=*/false, crlf);
    // Kept on purpose: a rewrite that fails after creating its temporary file leaves it in
    // the temporary directory, where an operator finds what was about to be written.
    if (code != kOk) temp.Keep();
    return code;
  } catch (...) {
    return zrtmask::kOpenFailed;
  }
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

int ZRTHtmlFile::CopyMaskFile(const char* maskPath) {
  if (_path == nullptr) return zrtmask::kTemplateMissing;
  if (maskPath == nullptr) return zrtmask::kMaskMissing;
  try {
    std::ifstream mask(maskPath, std::ios::binary);
    if (!mask.is_open()) return DiagnoseMaskOpen(maskPath);
    // Copying a file over itself would empty it before reading it.
    if (zrtmask::SameFile(maskPath, _path)) return kOk;

    // The whole mask is read before the template is touched, so that a mask that cannot be
    // read to its end leaves the template as it was. Masks are small pages; no temporary file
    // is needed, and a missing temporary directory does not stop the copy.
    std::string bytes;
    std::vector<char> chunk(1 << 16);
    while (mask.good()) {
      mask.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      bytes.append(chunk.data(), static_cast<std::size_t>(mask.gcount()));
    }
    if (mask.bad()) return zrtmask::kOpenFailed;
    mask.close();

    // A template that does not exist yet is created from the mask, and removed again when
    // the copy fails, so that a failure leaves no trace.
    bool created_template = false;
    if (ZRTFileAccess(_path, 0) == -1) {
      int error = 0;
      const int descriptor = zrtmask::CreateExclusive(_path, &error);
      created_template = descriptor >= 0;
      zrtmask::CloseFd(descriptor, &error);
    }
    int code = zrtmask::OverwriteInPlace(_path, bytes.data(), bytes.size());
    if (code != kOk && created_template) {
      int error = 0;
      zrtmask::RemoveFile(_path, &error);
    }
    return code;
  } catch (...) {
    return zrtmask::kOpenFailed;
  }
}
