// What an item rewrite changes: the ItemEdit interface that the rewrite cycle feeds, and the
// marker-region tracking that several edits share.
#ifndef ZRTMASK_TEMPLATE_ITEM_EDIT_H_
#define ZRTMASK_TEMPLATE_ITEM_EDIT_H_

#include <string>
#include <string_view>

#include "ZRTDcHtmlHandler.h"
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

// How an element item relates to a marker region.
enum class MarkerElement { kOther, kOpening, kClosing };

// Follows the regions of one marker: the element named `name` opens a region and the element
// "/" + name closes it. Names are compared byte for byte, case-sensitively.
class MarkerRegion {
 public:
  explicit MarkerRegion(std::string_view name)
      : opening_(name), closing_("/" + std::string(name)) {}

  // Classifies an element item and moves into or out of the region accordingly. A closing
  // element counts as closing even without an opening one before it.
  MarkerElement Follow(const ScannedItem& item) {
    if (item.type != ITEM_TAG) return MarkerElement::kOther;
    if (item.name == opening_) {
      inside_ = true;
      return MarkerElement::kOpening;
    }
    if (item.name == closing_) {
      inside_ = false;
      return MarkerElement::kClosing;
    }
    return MarkerElement::kOther;
  }
  // True between an opening element and the next closing one.
  bool inside() const { return inside_; }

 private:
  std::string opening_;
  std::string closing_;
  bool inside_ = false;
};

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_ITEM_EDIT_H_
