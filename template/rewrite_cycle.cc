// The item rewrite cycle shared by the view name, tag content, dump and image rewrites, and the
// free-space test of the template object.
#include "template/rewrite_cycle.h"

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "ZRTWebTrace.h"
#include "scanner/scan_access.h"
#include "template/temp_file.h"

namespace zrtmask {

namespace {

// Every item type (the bits 1 to 32): a rewrite writes back everything it reads.
constexpr int kAllItemTypes = 63;

// The cycle's steps, with temp owned by the caller so that it decides what becomes of the file.
int RewriteThrough(const char* template_path, ItemEdit& edit, TempFile& temp) {
  {
    ZRTDcHtmlHandler scanner;
    int opened = scanner.OpenFile(template_path);
    if (opened != kOk) return opened;
    scanner.SetFindTypes(kAllItemTypes);

    int created = temp.Create();
    if (created != kOk) return created;

    ItemWriter writer(temp);
    // After a failed write the rest of the scan would be wasted: its code comes from
    // FinishWriting below.
    while (!writer.failed() && scanner.FindNextItem() != 0) {
      ScannedItem item;
      item.type = scanner.GetItemType();
      // Each type carries its text in one buffer (a value item in both); the other buffer may
      // hold a stale name and is not measured.
      if (item.type != ITEM_TEXT && item.type != ITEM_COMMENT) {
        item.name = scanner.GetItemName();
      }
      if (item.type != ITEM_TAG && item.type != ITEM_ATTRIBUTE) {
        item.value = scanner.GetItemValue();
      }
      item.line = scanner.GetCurrentLineNb();
      edit.OnItem(item, writer);
      writer.Record(item);
    }
    // A read that failed part way would write back a template cut short.
    if (ScanAccess::ReadError(scanner) != 0) return kOpenFailed;
    if (!writer.failed()) {
      // A nonzero code abandons the rewrite: the temporary file goes with `temp`.
      int finished = edit.Finish(writer);
      if (finished != kOk) return finished;
      writer.Finish();
    }
  }  // The scanner closes the template here, before anything is written to it.

  // A write that failed for want of space and a disk found full after the scan are the same
  // condition for the operator: both are traced.
  int written = temp.FinishWriting();
  if (written == kOk && DiskFullCode(kTempDirectory) != kOk) written = kTempDiskFull;
  if (written != kOk) {
    const char* message = edit.DiskFullMessage();
    if (written == kTempDiskFull && message != nullptr) ZRTWebTrace::trace("%s", message);
    return written;
  }
  int reopened = temp.OpenForReading();
  if (reopened != kOk) return reopened;
  // Decided now, while the template still holds its old text.
  bool crlf = TemplateUsesCrLf(template_path);
  return CopyBack(temp, template_path, /*fold_line_feeds=*/true, crlf);
}

}  // namespace

int RunItemRewrite(const char* template_path, ItemEdit& edit) {
  if (template_path == nullptr) return kTemplateMissing;
  TempFile temp;
  int code = RewriteThrough(template_path, edit, temp);
  // Kept on purpose: a rewrite that fails after creating its temporary file leaves it in the
  // temporary directory, where an operator finds what was about to be written. A region that
  // is not closed is a fault of the template, not of the rewrite: nothing is left then.
  if (code != kOk && code != kRegionNotClosed) temp.Keep();
  return code;
}

}  // namespace zrtmask

int ZRTHtmlFile::isDiskFull(const char* path) { return zrtmask::DiskFullCode(path); }
