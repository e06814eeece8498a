// The mask copy: the producer that reads a mask file whole, the template's new text.
#include <memory>
#include <string>

#include "ZRTFileAccess.h"
#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "template/pipeline.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// Explains why the mask could not be opened: 22 absent, 21 not readable, 15 otherwise.
int DiagnoseMaskOpen(const char* mask_path) {
  if (ZRTFileAccess(mask_path, 0) == -1) return kMaskMissing;
  if (ZRTFileAccess(mask_path, 4) == -1) return kMaskUnreadable;
  return kOpenFailed;
}

// Reads the mask whole under a shared lock, so that a rewrite of the mask through the library
// is never seen half done; the lock is released before the template is locked.
class MaskProducer : public Producer {
 public:
  MaskProducer(const char* mask_path, const char* template_path)
      : mask_path_(mask_path), template_path_(template_path) {}

  int Open() override {
    FileLock lock;
    if (!lock.Acquire(mask_path_, /*exclusive=*/false)) return kOpenFailed;
    if (lock.fd() < 0) return DiagnoseMaskOpen(mask_path_);
    // Copying a file over itself would change nothing.
    if (SameFile(mask_path_, template_path_)) {
      same_file_ = true;
      return kOk;
    }
    // The whole mask is read before the template is touched, so that a mask that cannot be
    // read to its end leaves the template as it was.
    std::unique_ptr<char[]> chunk(new char[1 << 16]);
    int error = 0;
    for (;;) {
      const long count = ReadSome(lock.fd(), chunk.get(), 1 << 16, &error);
      if (count < 0) return kOpenFailed;
      if (count == 0) return kOk;
      bytes_.append(chunk.get(), static_cast<std::size_t>(count));
    }
  }

  int Produce(ByteSink& sink) override {
    return sink.Write(bytes_.data(), bytes_.size()) ? kOk : kOpenFailed;
  }

  bool TemplateIsSource() const override { return same_file_; }

 private:
  const char* mask_path_;
  const char* template_path_;
  std::string bytes_;
  bool same_file_ = false;
};

}  // namespace

}  // namespace zrtmask

int ZRTHtmlFile::CopyMaskFile(const char* maskPath) {
  if (_path == nullptr) return zrtmask::kTemplateMissing;
  if (maskPath == nullptr) return zrtmask::kMaskMissing;
  try {
    zrtmask::MaskProducer producer(maskPath, _path);
    return zrtmask::RunDirectRewrite(_path, producer);
  } catch (...) {
    return zrtmask::kOpenFailed;
  }
}
