// A compiled mask: the mask's bytes read and outlined once, held as the plan of its fixed byte
// runs and fillable parts, then rendered and published for any number of pages, from any number
// of threads. Publishing a whole site: every page rendered from its compiled mask and published
// atomically, on several threads, with the flushes grouped.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_MASK_H_
#define ZRTMASK_INCLUDE_ZRTMASK_MASK_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zrtmask_export.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"

namespace zrtmask {

// How a page is published.
struct PublishOptions {
  bool make_directories = false;  // create the page's missing folders (mode 0777 less the umask)
  bool keep_unchanged = true;     // leave a page alone whose bytes would not change
};

enum class PublishStatus : int {
  kWritten,    // the new page is in place (or, in a dry run, would be written)
  kUnchanged,  // the page held the new bytes already and was left alone
  kFailed,     // nothing was written; the old page is as it was
};

// A compiled mask. Immutable once made; copies share it; every const method may be called from
// several threads at once. A default-constructed Mask is the empty mask.
class ZRTMASK_EXPORT Mask {
 public:
  Mask();
  // Copies share the plan. A move copies too, so that a Mask moved from is still the same mask
  // (no method ever meets a missing plan).
  Mask(const Mask&) = default;
  Mask& operator=(const Mask&) = default;

  // Compiles bytes (copied) into *mask. Returns 0, or 15 when memory runs out.
  static int FromBytes(std::string_view bytes, Mask* mask);
  // Reads the mask file at path under a shared lock (as a query reads a template) and compiles
  // it. Returns 0; 22 when it does not exist, 21 when it cannot be read or is not a regular file
  // (a FIFO, a device or a directory is refused at once); 15 otherwise (the lock not had in
  // 30 s, memory). Memory never exceeds the file's size plus a constant.
  static int FromFile(const char* path, Mask* mask);

  // Renders the page for fill into *page (its capacity reused): the bytes and codes of
  // RenderPage. *page is changed only on 0, and on 15 (memory ran out while it was written).
  // On 10 or 11, *problem (when not null) says which part.
  int Render(const PageFill& fill, std::string* page, RenderProblem* problem = nullptr) const;

  // Renders and publishes the page at page_path as PublishPage does (the new page's mode is the
  // mask file's; 0644 for a mask from bytes). Returns PublishPage's codes (never 21 or 22);
  // *status (when not null) says what happened.
  int Publish(const char* page_path, const PageFill& fill, const PublishOptions& options = {},
              PublishStatus* status = nullptr, RenderProblem* problem = nullptr) const;

  // The mask's outline (lines set, every processing marker kind looked for).
  const Outline& outline() const;
  // The mask's bytes.
  std::string_view bytes() const;

  struct Plan;  // the library's own

 private:
  friend struct MaskAccess;
  std::shared_ptr<const Plan> plan_;
};

// One page of a site: its compiled mask (not owned; it must outlive the call), where it goes,
// and what fills it.
struct SitePage {
  const Mask* mask = nullptr;
  std::string page_path;
  PageFill fill;
};

// What became of one page.
struct SitePageResult {
  PublishStatus status = PublishStatus::kFailed;
  int code = 0;           // 0, or the code of PublishPage
  RenderProblem problem;  // on 10 and 11
};

// How a site is published.
struct SiteOptions {
  PublishOptions page;
  unsigned threads = 0;  // 0: one per core
  bool dry_run = false;  // only find out which pages would be written
  // Pages written and flushed in groups of this many per thread, then renamed, then each folder
  // flushed once. 1 flushes each page and its folder on its own.
  std::size_t group_size = 32;
  // Called (from worker threads, one call at a time) as each page is settled, with its index.
  // An exception it throws is caught and ignored.
  std::function<void(std::size_t index, const SitePageResult& result)> on_page;
};

// Publishes every page of pages, each atomically, the folders of the pages written flushed
// before the call returns. Leftovers of dead publishers of these pages (files of this user)
// are removed first.
// A crash part way leaves each page whole: old, or new. Returns 0 when every page was written
// or unchanged; else the code of the first page (in list order) that failed. results (when not
// null) gets one entry per page.
ZRTMASK_EXPORT int PublishSite(const std::vector<SitePage>& pages, const SiteOptions& options,
                               std::vector<SitePageResult>* results);

}  // namespace zrtmask

#endif  // ZRTMASK_INCLUDE_ZRTMASK_MASK_H_
