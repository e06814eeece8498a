// What an item rewrite changes: the ItemEdit interface that the item producer feeds.
#ifndef ZRTMASK_TEMPLATE_ITEM_EDIT_H_
#define ZRTMASK_TEMPLATE_ITEM_EDIT_H_

#include "template/item_writer.h"
#include "zrtmask_result.h"

namespace zrtmask {

// One rewriting operation, fed every scanned item of the template in order.
class ItemEdit {
 public:
  virtual ~ItemEdit() = default;
  // Writes `item` to `out`, changed or not. The default copies it through.
  virtual void OnItem(const ScannedItem& item, ItemWriter& out) { out.Write(item); }
  // Runs after the last item. A nonzero code abandons the rewrite.
  virtual int Finish(ItemWriter& /*out*/) { return kOk; }
  // The message traced when the temporary disk is full after the scan; null for none.
  virtual const char* DiskFullMessage() const { return nullptr; }
};

// Rewrites the template at template_path: every item goes through edit into the pipeline's
// temporary file (runs of line feeds folded, line feeds as CR LF when the template's first line
// end is CR LF), which is copied back over the template. Returns 0; 2 without a path; 2, 1 or
// 15 when the template cannot be opened for scanning; 15 when the lock cannot be had or the
// template cannot be read to its end; the code of edit.Finish (10: a region is not closed); the
// pipeline's codes otherwise (RunStagedRewrite).
int RunItemRewrite(const char* template_path, ItemEdit& edit);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_ITEM_EDIT_H_
