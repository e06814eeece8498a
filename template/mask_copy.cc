// The mask copy: the producer that reads a mask file whole, the template's new text.
#include <cstdint>
#include <memory>
#include <string>

#include "ZRTHtmlFile.h"
#include "base/failures.h"
#include "base/platform.h"
#include "template/pipeline.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// A mask may grow while it is read (by a writer that takes no lock): reading stops this far
// beyond the size it had when opened, so that memory stays within the file's size.
constexpr std::size_t kMaxGrowth = 1 << 16;

// Reads the mask whole under a shared lock, so that a rewrite of the mask through the library
// is never seen half done; the lock is released before the template is locked.
class MaskProducer : public Producer {
 public:
  MaskProducer(const char* mask_path, const char* template_path)
      : mask_path_(mask_path), template_path_(template_path) {}

  int Open(int /*template_fd*/) override {
    TemplateHandle mask;
    // A FIFO, a device or a directory is refused as an unreadable mask.
    const int opened = mask.Open(mask_path_, /*for_writing=*/false, kMaskMissing, kMaskUnreadable);
    if (opened != kOk) return opened;
    if (!LockDescriptor(mask.fd(), /*exclusive=*/false)) return kOpenFailed;
    // Copying a file over itself would change nothing.
    FileStatus target;
    int error = 0;
    if (StatPath(template_path_, &target, &error) && target.device == mask.status().device &&
        target.inode == mask.status().inode) {
      same_file_ = true;
      return kOk;
    }
    // The whole mask is read before the template is touched, so that a mask that cannot be
    // read to its end leaves the template as it was.
    const std::size_t limit = static_cast<std::size_t>(mask.status().size) + kMaxGrowth;
    bytes_.reserve(static_cast<std::size_t>(mask.status().size));
    std::unique_ptr<char[]> chunk(new char[1 << 16]);
    for (std::uint64_t offset = 0;;) {
      const long count = ReadAt(mask.fd(), chunk.get(), 1 << 16, offset, &error);
      if (count < 0) return kOpenFailed;
      if (count == 0) return kOk;
      if (bytes_.size() + static_cast<std::size_t>(count) > limit) return kOpenFailed;
      bytes_.append(chunk.get(), static_cast<std::size_t>(count));
      offset += static_cast<std::uint64_t>(count);
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
  return zrtmask::CatchAll([&] {
    zrtmask::ClearFailureDetail();
    zrtmask::MaskProducer producer(maskPath, _path);
    return zrtmask::RunDirectRewrite(_path, producer);
  });
}
