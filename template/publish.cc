// Publishing a rendered page: the mask read once, the page written into a new file beside the
// old page, flushed, and renamed over it, so that readers see the old page or the new one whole.
#include <atomic>
#include <string>
#include <string_view>

#include "base/platform.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// How many names a publish draws before it gives up on finding a free one.
constexpr int kMaxNameDraws = 100;
// Mode of a new page when neither an old page nor the mask can be examined.
constexpr unsigned kDefaultPageMode = 0644;

// Reads the whole file at path into *bytes. Returns 0; 22 when it does not exist, 21 when it
// cannot be read, 15 otherwise.
int ReadMask(const char* path, std::string* bytes) {
  int error = 0;
  const int fd = OpenForRead(path, &error);
  if (fd < 0) {
    if (IsMissingError(error)) return kMaskMissing;
    if (IsPermissionError(error)) return kMaskUnreadable;
    return kOpenFailed;
  }
  char block[1 << 16];
  long count = 0;
  while ((count = ReadSome(fd, block, sizeof(block), &error)) > 0) {
    bytes->append(block, static_cast<std::size_t>(count));
  }
  CloseFd(fd, &error);
  return count < 0 ? kOpenFailed : kOk;
}

// The code for a failed write into the page's directory.
int WriteFailureCode(int error) {
  if (IsNoSpaceError(error)) return kTemplateDiskFull;
  if (IsNotWritableError(error)) return kTemplateNotWritable;
  return kOpenFailed;
}

// The new page's file: created exclusively beside the page, removed again unless it was renamed
// over the page.
class PageFile {
 public:
  explicit PageFile(std::string_view page_path) {
    const std::size_t slash = page_path.rfind('/');
    directory_ =
        slash == std::string_view::npos ? "." : std::string(page_path.substr(0, slash + 1));
    prefix_ = std::string(page_path.substr(0, slash + 1)) + "." +
              std::string(page_path.substr(slash + 1)) + ".";
  }
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;
  ~PageFile() {
    int ignored = 0;
    CloseFd(fd_, &ignored);
    if (!path_.empty()) RemoveFile(path_.c_str(), &ignored);
  }

  // Creates the file with mode, drawing a new name while one is taken. Returns 0 or a code.
  int Create(unsigned mode) {
    static std::atomic<unsigned long> drawn{0};
    int error = 0;
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
      const std::string path =
          prefix_ + std::to_string(ProcessId()) + "-" + std::to_string(drawn.fetch_add(1)) + ".tmp";
      fd_ = CreateExclusiveWithMode(path.c_str(), mode, &error);
      if (fd_ >= 0) {
        path_ = path;
        return kOk;
      }
      if (!IsExistsError(error)) break;
    }
    return WriteFailureCode(error);
  }

  // Writes bytes, flushes them to disk and closes the file. Returns 0 or a code.
  int WriteAndSync(std::string_view bytes) {
    int error = 0;
    const bool written = WriteAll(fd_, bytes.data(), bytes.size(), &error) && SyncFd(fd_, &error);
    const int fd = fd_;
    fd_ = -1;
    if (!CloseFd(fd, &error) || !written) return WriteFailureCode(error);
    return kOk;
  }

  // Renames the file over page_path and flushes the directory. Returns 0 or a code.
  int RenameOver(const char* page_path) {
    int error = 0;
    if (!RenameFile(path_.c_str(), page_path, &error)) return WriteFailureCode(error);
    path_.clear();
    // The page is in place; only its survival of a crash is in doubt when this fails.
    return SyncDirectory(directory_.c_str(), &error) ? kOk : kOpenFailed;
  }

 private:
  std::string directory_;
  std::string prefix_;
  std::string path_;  // set while this object owns a file there
  int fd_ = -1;
};

}  // namespace

int PublishPage(const char* mask_path, const char* page_path, const PageFill& fill) {
  if (mask_path == nullptr) return kMaskMissing;
  if (page_path == nullptr) return kTemplateNotWritable;
  try {
    std::string mask;
    int code = ReadMask(mask_path, &mask);
    if (code != kOk) return code;
    std::string page;
    code = RenderPage(mask, fill, &page);
    if (code != kOk) return code;
    unsigned mode = kDefaultPageMode;
    if (!FileMode(page_path, &mode)) FileMode(mask_path, &mode);
    PageFile file(page_path);
    code = file.Create(mode);
    if (code == kOk) code = file.WriteAndSync(page);
    if (code == kOk) code = file.RenameOver(page_path);
    return code;
  } catch (...) {
    return kOpenFailed;
  }
}

}  // namespace zrtmask
