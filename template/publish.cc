// Publishing rendered pages: the mask read once under a shared lock, each page written into a
// file of its own in the page's folder (unnamed until complete where the file system allows),
// flushed, given its final mode and owner, and renamed over the old page, every name reached
// through the folder's descriptor; a site's pages on several threads with their flushes grouped.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/failures.h"
#include "base/platform.h"
#include "template/mask_plan.h"
#include "template/pipeline.h"
#include "zrtmask_mask.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// How many names a publish draws before it gives up on finding a free one.
constexpr int kMaxNameDraws = 100;
// Bytes a mask file may grow by while it is read (a writer that ignores the lock) before the
// read gives up: memory stays within the file's size plus this.
constexpr std::int64_t kMaskGrowthAllowance = 1 << 16;
// A page's final mode never carries the setuid, setgid or sticky bit.
constexpr unsigned kPermissionBits = 0777;

// Closes a descriptor when it goes.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    int ignored = 0;
    CloseFd(fd_, &ignored);
  }
  int get() const { return fd_; }
  // Closes now. Returns true, or false with the errno in *error.
  bool Close(int* error) { return CloseFd(std::exchange(fd_, -1), error); }

 private:
  int fd_ = -1;
};

// The folder and the name of a page path: "a/b/c.html" gives "a/b/" and "c.html".
void SplitPath(std::string_view path, std::string* directory, std::string* name) {
  const std::size_t slash = path.rfind('/');
  *directory = slash == std::string_view::npos ? "." : std::string(path.substr(0, slash + 1));
  *name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The folder that holds path's last part ("a/b" gives "a/", "b" gives ".", "/b" gives "/").
std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Creates directory and the folders above it that are missing; *changed gets each folder that
// gained a name, to be flushed with the pages. Returns true, or false with the errno of the
// first failure in *error.
bool MakeDirectories(const std::string& directory, std::vector<std::string>* changed, int* error) {
  auto make = [&](const std::string& path) {
    if (IsDirectory(path.c_str())) return true;
    if (!MakeDirectory(path.c_str(), 0777, error)) return false;
    changed->push_back(ParentOf(path));
    return true;
  };
  for (std::size_t slash = directory.find('/', 1); slash != std::string::npos;
       slash = directory.find('/', slash + 1)) {
    if (!make(directory.substr(0, slash))) return false;
  }
  return directory.back() == '/' || make(directory);
}

// The prefix and suffix of a page's hidden files: ".<name>.<pid>-<n>.tmp".
std::string HiddenPrefix(const std::string& name) { return "." + name + "."; }
constexpr std::string_view kHiddenSuffix = ".tmp";

// The process id in a hidden file's name of the page name, or 0 when it is none.
long HiddenFileOwner(std::string_view file, const std::string& page_name) {
  const std::string prefix = HiddenPrefix(page_name);
  if (file.size() <= prefix.size() + kHiddenSuffix.size() ||
      file.substr(0, prefix.size()) != prefix ||
      file.substr(file.size() - kHiddenSuffix.size()) != kHiddenSuffix) {
    return 0;
  }
  const std::string_view middle =
      file.substr(prefix.size(), file.size() - prefix.size() - kHiddenSuffix.size());
  const std::size_t dash = middle.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == middle.size()) return 0;
  const auto is_digits = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!is_digits(middle.substr(0, dash)) || !is_digits(middle.substr(dash + 1)) || dash > 9)
    return 0;
  return std::atol(std::string(middle.substr(0, dash)).c_str());
}

// Removes the hidden files that publishers of the pages page_names, now dead, left in dir_fd.
void RemoveLeftovers(int dir_fd, const std::set<std::string>& page_names) {
  struct Listing {
    const std::set<std::string>* pages;
    std::vector<std::string> dead;
  } listing{&page_names, {}};
  int error = 0;
  ListNames(
      dir_fd,
      [](const char* file, void* context) {
        auto& self = *static_cast<Listing*>(context);
        const std::string_view name = file;
        if (name.size() < 2 || name[0] != '.') return;
        // The page's name lies between the leading "." and the ".<pid>-<n>.tmp".
        for (const std::string& page : *self.pages) {
          const long owner = HiddenFileOwner(name, page);
          if (owner != 0 && owner != ProcessId() && !ProcessExists(owner)) {
            self.dead.emplace_back(name);
            return;
          }
        }
      },
      &listing, &error);
  for (const std::string& file : listing.dead) {
    FileStatus status;
    // Only a file of ours is removed: a link or folder of that name is no publisher's, and a
    // file of another user (who may write the folder too) is not ours to remove.
    if (StatAt(dir_fd, file.c_str(), false, &status, &error) && status.regular &&
        status.owner == EffectiveUserId()) {
      RemoveAt(dir_fd, file.c_str(), &error);
    }
  }
}

// A page's folder, opened once.
struct Folder {
  Descriptor fd;
  std::uint64_t device = 0;
  // Folders above it that gained a name when it was made, not yet flushed.
  std::vector<std::string> made;

  Folder() = default;
  Folder(Folder&&) = default;
  Folder& operator=(Folder&&) = default;
  // Folders made for pages that all failed here may hold other publishers' pages: flushed too.
  ~Folder() {
    int ignored = 0;
    for (const std::string& parent : made) SyncDirectory(parent.c_str(), &ignored);
  }

  // Flushes the folder's names, and those of the folders made for it, to disk. Returns 0, or 15:
  // what was renamed in it is in place, but may not survive a crash.
  int Flush() {
    int error = 0;
    if (!SyncFd(fd.get(), &error)) return kOpenFailed;
    for (; !made.empty(); made.pop_back()) {
      if (!SyncDirectory(made.back().c_str(), &error)) return kOpenFailed;
    }
    return kOk;
  }
};

// Opens directory into *folder, making it (and the folders above it) when it is missing and
// options ask for that. Returns 0 (the folder's fd stays -1 only when compare_only found a folder
// that would be made) or a code.
int OpenFolder(const std::string& directory, const PublishOptions& options, bool compare_only,
               Folder* folder) {
  int error = 0;
  folder->fd = Descriptor(OpenDirectory(directory.c_str(), &error));
  if (folder->fd.get() < 0 && options.make_directories && IsMissingError(error)) {
    if (compare_only) return kOk;
    if (!MakeDirectories(directory, &folder->made, &error)) return PageWriteFailureCode(error);
    folder->fd = Descriptor(OpenDirectory(directory.c_str(), &error));
  }
  if (folder->fd.get() < 0) return PageWriteFailureCode(error);
  FileStatus status;
  if (StatDescriptor(folder->fd.get(), &status, &error)) folder->device = status.device;
  return kOk;
}

// The folders one worker of a site publish has opened, each opened once for the whole run (a
// bounded number are kept).
class FolderCache {
 public:
  explicit FolderCache(std::size_t max_folders) : max_folders_(max_folders) {}

  // Forgets the folders when there are many; only between groups, when none is lent.
  void Trim() {
    if (folders_.size() >= max_folders_) folders_.clear();
  }
  int Get(const std::string& directory, const PublishOptions& options, bool compare_only,
          Folder** folder) {
    const auto found = folders_.find(directory);
    if (found != folders_.end()) {
      *folder = &found->second;
      return kOk;
    }
    Folder opened;
    const int code = OpenFolder(directory, options, compare_only, &opened);
    if (code != kOk || opened.fd.get() < 0) {
      scratch_ = std::move(opened);
      *folder = &scratch_;
      return code;
    }
    *folder = &folders_.emplace(directory, std::move(opened)).first->second;
    return kOk;
  }

 private:
  const std::size_t max_folders_;
  std::map<std::string, Folder> folders_;
  Folder scratch_;  // a folder not kept (not there)
};

// True when the page name in dir_fd holds exactly the bytes of runs.
bool HoldsBytes(int dir_fd, const std::string& name, const PageRuns& runs) {
  int error = 0;
  // The caller found a regular file of the page's size there. Whatever replaced it since (the
  // open follows no link and waits on no FIFO) is read at most one byte past that size.
  Descriptor fd(OpenForReadAt(dir_fd, name.c_str(), &error));
  if (fd.get() < 0) return false;
  std::string old_page(runs.size + 1, '\0');
  std::size_t have = 0;
  for (;;) {
    const long count = ReadSome(fd.get(), old_page.data() + have, old_page.size() - have, &error);
    if (count < 0) return false;
    if (count == 0 || (have += static_cast<std::size_t>(count)) == old_page.size()) break;
  }
  if (have != runs.size) return false;
  std::size_t at = 0;
  for (const ByteSpan& span : runs.spans) {
    if (old_page.compare(at, span.size, span.data, span.size) != 0) return false;
    at += span.size;
  }
  return true;
}

// One page on its way: its folder's descriptor, its new file (unnamed, or named hidden_name),
// and what it replaces.
class PendingPage {
 public:
  // Opens the folder, compares the old page, creates and writes the new file and gives it its
  // final mode and owner. Returns 0 (with *unchanged set when the old page holds the bytes
  // already: nothing is created) or a code.
  // With compare_only, stops once it knows whether the page would be written (a missing folder
  // that make_directories would create means it would).
  // folders (when not null) lends the folder's descriptor; else the page opens its own.
  int Prepare(const PageRuns& runs, const char* page_path, unsigned new_mode,
              const PublishOptions& options, bool remove_leftovers, bool compare_only,
              bool* unchanged, FolderCache* folders = nullptr) {
    *unchanged = false;
    SplitPath(page_path, &directory_, &name_);
    if (name_.empty() || name_ == "." || name_ == "..") return kTemplateNotWritable;
    int error = 0;
    if (folders == nullptr) {
      const int code = OpenFolder(directory_, options, compare_only, &own_folder_);
      if (code != kOk || own_folder_.fd.get() < 0) return code;
      folder_ = &own_folder_;
    } else {
      const int code = folders->Get(directory_, options, compare_only, &folder_);
      if (code != kOk || folder_->fd.get() < 0) return code;
    }
    directory_fd_ = folder_->fd.get();
    device_ = folder_->device;
    // The old page by its name itself: a link there is replaced, never followed.
    FileStatus old_page;
    const bool had_page =
        StatAt(directory_fd_, name_.c_str(), false, &old_page, &error) && old_page.regular;
    if (had_page && options.keep_unchanged &&
        old_page.size == static_cast<std::int64_t>(runs.size) &&
        HoldsBytes(directory_fd_, name_, runs)) {
      *unchanged = true;
      return kOk;
    }
    if (compare_only) return kOk;
    if (remove_leftovers) RemoveLeftovers(directory_fd_, {name_});
    int code = Create();
    if (code != kOk) return code;
    if (!WriteSpans(file_.get(), runs.spans.data(), runs.spans.size(), &error)) {
      return PageWriteFailureCode(error);
    }
    // Root keeps the old page's owner and group (before the mode: chown clears set-id bits).
    if (had_page && RunsAsRoot() &&
        !ChangeOwnerFd(file_.get(), old_page.owner, old_page.group, &error)) {
      return kOpenFailed;
    }
    const unsigned mode = (had_page ? old_page.mode : new_mode) & kPermissionBits;
    if (!ChangeModeFd(file_.get(), mode, &error)) return kOpenFailed;
    return kOk;
  }

  // Flushes the new file's bytes to disk. Returns 0 or a code.
  int Flush() {
    int error = 0;
    return SyncFd(file_.get(), &error) ? kOk : PageWriteFailureCode(error);
  }

  // Flushes the whole file system that holds the new file, which flushes it and every other new
  // file there at once. Returns 0 or a code.
  int FlushFileSystem() {
    int error = 0;
    return SyncFileSystem(file_.get(), &error) ? kOk : PageWriteFailureCode(error);
  }

  // Flushes the file system of the page's folder (after the rename: the new name goes with it).
  // Returns 0, or 15.
  int FlushFileSystemOfFolder() {
    int error = 0;
    return SyncFileSystem(directory_fd_, &error) ? kOk : kOpenFailed;
  }

  // The device of the page's folder, which holds the new file (0 when unknown).
  std::uint64_t Device() const { return device_; }

  // Puts the new file in place of the page. Returns 0 or a code; on a failure the page is as it
  // was and the new file is gone.
  int Commit() {
    int error = 0;
    if (hidden_name_.empty()) {
      // The unnamed file gets a hidden name first: a link cannot replace a name.
      bool linked = false;
      for (int draw = 0; draw < kMaxNameDraws && !linked; ++draw) {
        hidden_name_ = DrawHiddenName();
        linked = LinkUnnamed(file_.get(), directory_fd_, hidden_name_.c_str(), &error);
        if (!linked && !IsExistsError(error)) break;
      }
      if (!linked) {
        hidden_name_.clear();
        return PageWriteFailureCode(error);
      }
    }
    if (!RenameAt(directory_fd_, hidden_name_.c_str(), name_.c_str(), &error)) {
      return PageWriteFailureCode(error);
    }
    hidden_name_.clear();
    return file_.Close(&error) ? kOk : PageWriteFailureCode(error);
  }

  // Flushes the folder's names (and those of the folders made for it) to disk. Returns 0, or
  // 15: the page is in place, but may not survive a crash.
  int FlushDirectory() { return folder_->Flush(); }
  // Says that a flush of the whole file system made the folder's names durable.
  void FolderFlushed() { folder_->made.clear(); }

  const std::string& directory() const { return directory_; }

  // process_id: this process's id, when the caller knows it already (0: asked when needed).
  explicit PendingPage(long process_id = 0) : process_id_(process_id) {}
  // The hidden name goes with the move: only one of the two may remove it.
  PendingPage(PendingPage&& other) noexcept
      : directory_(std::move(other.directory_)),
        name_(std::move(other.name_)),
        own_folder_(std::move(other.own_folder_)),
        folder_(other.folder_ == &other.own_folder_ ? &own_folder_ : other.folder_),
        directory_fd_(other.directory_fd_),
        device_(other.device_),
        file_(std::move(other.file_)),
        hidden_name_(std::exchange(other.hidden_name_, std::string())),
        process_id_(other.process_id_) {}
  PendingPage& operator=(PendingPage&&) = delete;
  ~PendingPage() {
    int ignored = 0;
    if (!hidden_name_.empty() && directory_fd_ >= 0) {
      RemoveAt(directory_fd_, hidden_name_.c_str(), &ignored);
    }
  }

 private:
  std::string DrawHiddenName() {
    static std::atomic<unsigned long> drawn{0};
    if (process_id_ == 0) process_id_ = ProcessId();
    return HiddenPrefix(name_) + std::to_string(process_id_) + "-" +
           std::to_string(drawn.fetch_add(1)) + std::string(kHiddenSuffix);
  }

  // The new file at mode 0600: unnamed where the file system allows, else a hidden name.
  int Create() {
    int error = 0;
    file_ = Descriptor(CreateUnnamedIn(directory_fd_, &error));
    if (file_.get() >= 0) return kOk;
    if (!IsUnsupportedError(error)) return PageWriteFailureCode(error);
    for (int draw = 0; draw < kMaxNameDraws; ++draw) {
      const std::string hidden = DrawHiddenName();
      file_ = Descriptor(CreateExclusiveAt(directory_fd_, hidden.c_str(), &error));
      if (file_.get() >= 0) {
        hidden_name_ = hidden;
        return kOk;
      }
      if (!IsExistsError(error)) break;
    }
    return PageWriteFailureCode(error);
  }

  std::string directory_;
  std::string name_;
  Folder own_folder_;         // the folder, when the page opened it
  Folder* folder_ = nullptr;  // the folder, own or lent
  int directory_fd_ = -1;     // its descriptor
  std::uint64_t device_ = 0;
  Descriptor file_;
  std::string hidden_name_;  // set while a named file of ours is there
  long process_id_;
};

int PublishWithPlan(const Mask::Plan& plan, const char* page_path, const PageFill& fill,
                    const PublishOptions& options, PublishStatus* status, RenderProblem* problem) {
  if (status != nullptr) *status = PublishStatus::kFailed;
  if (page_path == nullptr) return kTemplateNotWritable;
  PageRuns runs;
  int code = RenderRuns(plan, fill, &runs, problem);
  if (code != kOk) return code;
  PendingPage page;
  bool unchanged = false;
  code = page.Prepare(runs, page_path, plan.mode, options, true, false, &unchanged);
  if (code == kOk && unchanged) {
    if (status != nullptr) *status = PublishStatus::kUnchanged;
    return kOk;
  }
  if (code == kOk) code = page.Flush();
  if (code == kOk) code = page.Commit();
  if (code != kOk) return code;
  if (status != nullptr) *status = PublishStatus::kWritten;
  return page.FlushDirectory();
}

}  // namespace

int ReadMaskFile(const char* path, std::string* bytes, unsigned* mode) {
  if (path == nullptr) return kMaskMissing;
  int error = 0;
  Descriptor fd(OpenForReadNonBlocking(path, &error));
  if (fd.get() < 0) {
    if (IsMissingError(error)) return kMaskMissing;
    if (IsPermissionError(error)) return kMaskUnreadable;
    return kOpenFailed;
  }
  FileStatus status;
  if (!StatDescriptor(fd.get(), &status, &error)) return kOpenFailed;
  // A FIFO would block, a device may never end, a directory cannot be read.
  if (!status.regular) return kMaskUnreadable;
  // Shared, as a query locks its template: a rewrite of the mask is not read half way.
  if (!LockFd(fd.get(), false, LockTimeoutMs(), &error) && !CannotLockError(error)) {
    return kOpenFailed;
  }
  // The size once the lock is had: a rewrite that held it may have grown the mask meanwhile.
  if (!StatDescriptor(fd.get(), &status, &error)) return kOpenFailed;
  const std::int64_t limit = status.size + kMaskGrowthAllowance;
  bytes->assign(static_cast<std::size_t>(status.size) + 1, '\0');
  std::size_t have = 0;
  for (;;) {
    if (have == bytes->size()) {
      if (static_cast<std::int64_t>(have) >= limit) return kOpenFailed;
      bytes->resize(std::min<std::size_t>(bytes->size() * 2, static_cast<std::size_t>(limit)));
    }
    const long count = ReadSome(fd.get(), bytes->data() + have, bytes->size() - have, &error);
    if (count < 0) return IsPermissionError(error) ? kMaskUnreadable : kOpenFailed;
    if (count == 0) break;
    have += static_cast<std::size_t>(count);
  }
  bytes->resize(have);
  *mode = status.mode;
  return kOk;
}

int PublishPage(const char* mask_path, const char* page_path, const PageFill& fill,
                RenderProblem* problem) {
  if (problem != nullptr) *problem = RenderProblem();
  if (mask_path == nullptr) return kMaskMissing;
  if (page_path == nullptr) return kTemplateNotWritable;
  return CatchAll([&]() -> int {
    Mask mask;
    const int code = Mask::FromFile(mask_path, &mask);
    if (code != kOk) return code;
    PublishOptions options;
    options.keep_unchanged = false;  // a page published again is written again, as it always was
    return mask.Publish(page_path, fill, options, nullptr, problem);
  });
}

int PublishPage(const char* mask_path, const char* page_path, const PageFill& fill) {
  return PublishPage(mask_path, page_path, fill, nullptr);
}

int Mask::Publish(const char* page_path, const PageFill& fill, const PublishOptions& options,
                  PublishStatus* status, RenderProblem* problem) const {
  if (problem != nullptr) *problem = RenderProblem();
  // PublishWithPlan says kFailed first and kWritten only once the page is in place, so an
  // exception leaves the status true.
  return CatchAll([&] { return PublishWithPlan(*plan_, page_path, fill, options, status, problem); });
}

namespace {

// A site's publishing: workers take the pages in groups, each group written and flushed, then
// renamed, then each of its folders flushed once.
class SitePublisher {
 public:
  SitePublisher(const std::vector<SitePage>& pages, const SiteOptions& options,
                std::vector<SitePageResult>* results)
      : pages_(pages), options_(options), results_(*results) {}

  void Run() {
    if (!options_.dry_run) RemoveSiteLeftovers();
    unsigned threads = options_.threads;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t groups = (pages_.size() + GroupSize() - 1) / GroupSize();
    threads =
        static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(1, groups)));
    // Each worker holds a group's files and its cached folders open: the descriptors of all stay
    // within kDescriptorBudget (below the usual limit of 1024 a process).
    const std::size_t share = std::max<std::size_t>(2, kDescriptorBudget / threads);
    group_size_ = std::min(GroupSize(), share / 2);
    max_folders_ = share / 2;
    std::vector<std::thread> workers;
    try {
      workers.reserve(threads);
      for (unsigned i = 1; i < threads; ++i) workers.emplace_back([this] { Work(); });
    } catch (...) {
      // Fewer threads than asked for (none could be started): the pages wait for those there.
    }
    Work();
    for (std::thread& worker : workers) worker.join();
  }

 private:
  static constexpr std::size_t kDescriptorBudget = 768;

  std::size_t GroupSize() const {
    return std::max<std::size_t>(1, group_size_ != 0 ? group_size_ : options_.group_size);
  }

  void RemoveSiteLeftovers() {
    std::map<std::string, std::set<std::string>> by_directory;
    for (const SitePage& page : pages_) {
      std::string directory;
      std::string name;
      SplitPath(page.page_path, &directory, &name);
      by_directory[directory].insert(name);
    }
    for (const auto& [directory, names] : by_directory) {
      int error = 0;
      Descriptor fd(OpenDirectory(directory.c_str(), &error));
      if (fd.get() >= 0) RemoveLeftovers(fd.get(), names);
    }
  }

  // Takes groups until none is left. Never throws: a page it could not settle keeps the failure
  // it was given at the start.
  void Work() noexcept {
    try {
      WorkOnGroups();
    } catch (...) {
    }
  }

  void WorkOnGroups() {
    FolderCache folders(max_folders_);
    for (;;) {
      const std::size_t first = next_.fetch_add(GroupSize());
      if (first >= pages_.size()) return;
      const std::size_t last = std::min(pages_.size(), first + GroupSize());
      std::vector<bool> settled(last - first, false);
      auto finish = [&](std::size_t index, PublishStatus status, int code) {
        settled[index - first] = true;
        SitePageResult& result = results_[index];
        result.status = code == kOk ? status : PublishStatus::kFailed;
        result.code = code;
        if (options_.on_page) {
          std::lock_guard<std::mutex> lock(report_mutex_);
          // The caller's exception must not leave a worker thread (which would end the process).
          try {
            options_.on_page(index, result);
          } catch (...) {
          }
        }
      };
      folders.Trim();
      try {
        PublishGroup(first, last, settled, finish, &folders);
      } catch (...) {
        for (std::size_t i = first; i < last; ++i) {
          if (!settled[i - first]) finish(i, PublishStatus::kFailed, kOpenFailed);
        }
      }
    }
  }

  template <typename Finish>
  void PublishGroup(std::size_t first, std::size_t last, const std::vector<bool>& settled,
                    Finish& finish, FolderCache* folders) {
    std::vector<std::pair<std::size_t, PendingPage>> pending;
    PageRuns runs;
    PublishOptions options = options_.page;
    for (std::size_t i = first; i < last; ++i) {
      const SitePage& page = pages_[i];
      if (page.mask == nullptr) {
        finish(i, PublishStatus::kFailed, kMaskMissing);
        continue;
      }
      // The path goes to the system as a C string: a NUL in it would name another file.
      if (page.page_path.find('\0') != std::string::npos) {
        finish(i, PublishStatus::kFailed, kTemplateNotWritable);
        continue;
      }
      const Mask::Plan& plan = MaskAccess::PlanOf(*page.mask);
      int code = RenderRuns(plan, page.fill, &runs, &results_[i].problem);
      if (code != kOk) {
        finish(i, PublishStatus::kFailed, code);
        continue;
      }
      PendingPage pending_page(process_id_);
      bool unchanged = false;
      code = pending_page.Prepare(runs, page.page_path.c_str(), plan.mode, options, false,
                                  options_.dry_run, &unchanged, folders);
      if (code != kOk || unchanged || options_.dry_run) {
        // In a dry run, a page that would be written is reported as written.
        finish(i, unchanged ? PublishStatus::kUnchanged : PublishStatus::kWritten, code);
        continue;
      }
      if (GroupSize() == 1) {
        code = pending_page.Flush();
        if (code == kOk) code = pending_page.Commit();
        if (code == kOk) code = pending_page.FlushDirectory();
        finish(i, PublishStatus::kWritten, code);
        continue;
      }
      pending.emplace_back(i, std::move(pending_page));
    }
    // Every file of the group is flushed before any is renamed: a crash leaves each page old or
    // new, whole. One flush of each file system holding them costs far less than one flush per
    // file (on ext4, each waits for a journal commit); where it fails, each file is flushed on
    // its own. Then each folder is flushed once for all the names renamed in it.
    std::map<std::uint64_t, int> file_systems;  // device: code of its flush
    for (auto& [index, page] : pending) {
      const std::uint64_t device = page.Device();
      auto [flushed, first_of_device] = file_systems.try_emplace(device, kOk);
      if (first_of_device) flushed->second = device == 0 ? kOpenFailed : page.FlushFileSystem();
      const int code = flushed->second == kOk ? kOk : page.Flush();
      if (code != kOk) finish(index, PublishStatus::kFailed, code);
    }
    std::map<std::string, PendingPage*> renamed_in;
    for (auto& [index, page] : pending) {
      if (settled[index - first]) continue;
      const int code = page.Commit();
      if (code != kOk) {
        finish(index, PublishStatus::kFailed, code);
        continue;
      }
      renamed_in.emplace(page.directory(), &page);
    }
    // The renames are made durable by one more flush of each file system (which commits them
    // all, in every folder), or, where that fails, by a flush of each folder.
    std::map<std::uint64_t, int> committed;  // device: code of its flush
    for (auto& [directory, page] : renamed_in) {
      auto [flushed, first_of_device] = committed.try_emplace(page->Device(), kOk);
      if (first_of_device) {
        flushed->second = page->Device() == 0 ? kOpenFailed : page->FlushFileSystemOfFolder();
      }
    }
    std::map<std::string, int> folder_codes;
    for (auto& [directory, page] : renamed_in) {
      if (committed[page->Device()] == kOk) {
        page->FolderFlushed();
        folder_codes[directory] = kOk;
      } else {
        folder_codes[directory] = page->FlushDirectory();
      }
    }
    for (auto& [index, page] : pending) {
      if (!settled[index - first]) {
        finish(index, PublishStatus::kWritten, folder_codes[page.directory()]);
      }
    }
  }

  const std::vector<SitePage>& pages_;
  const SiteOptions& options_;
  std::vector<SitePageResult>& results_;
  std::atomic<std::size_t> next_{0};
  std::mutex report_mutex_;
  const long process_id_ = ProcessId();
  std::size_t group_size_ = 0;   // the group size in use, once Run has bounded it
  std::size_t max_folders_ = 1;  // folders a worker keeps open
};

}  // namespace

int PublishSite(const std::vector<SitePage>& pages, const SiteOptions& options,
                std::vector<SitePageResult>* results) {
  std::vector<SitePageResult> own;
  std::vector<SitePageResult>& outcome = results != nullptr ? *results : own;
  try {
    // A page that no worker settles (memory ran out) stays failed.
    SitePageResult unsettled;
    unsettled.code = kOpenFailed;
    outcome.assign(pages.size(), unsettled);
    SitePublisher(pages, options, &outcome).Run();
  } catch (...) {
    return kOpenFailed;
  }
  for (const SitePageResult& result : outcome) {
    if (result.code != kOk) return result.code;
  }
  return kOk;
}

}  // namespace zrtmask
