// The markup rules that the queries and the rewrites share: the marker regions, the view name's
// title, line breaks, and the item types of a rewrite's scan. Names are compared byte for byte;
// where both cases are accepted, both spellings are listed.
#ifndef ZRTMASK_TEMPLATE_MARKER_RULES_H_
#define ZRTMASK_TEMPLATE_MARKER_RULES_H_

#include <string>
#include <string_view>

namespace zrtmask {

// Every item type (the bits 1 to 32): a rewrite writes back everything it reads.
inline constexpr int kAllItemTypes = 63;

inline bool IsTitleStart(std::string_view tag) { return tag == "title" || tag == "TITLE"; }
inline bool IsTitleEnd(std::string_view tag) { return tag == "/title" || tag == "/TITLE"; }
inline bool IsLineBreak(std::string_view tag) { return tag == "BR" || tag == "br"; }

// How an element relates to a marker region.
enum class MarkerElement { kOther, kOpening, kClosing };

// Follows the regions of one marker: the element named `name` opens a region and the element
// "/" + name closes it. A closing element counts as closing even without an opening one.
class MarkerRegion {
 public:
  explicit MarkerRegion(std::string_view name)
      : opening_(name), closing_("/" + std::string(name)) {}

  // Classifies the element named tag and moves into or out of the region accordingly.
  MarkerElement Follow(std::string_view tag) {
    if (tag == opening_) {
      inside_ = true;
      return MarkerElement::kOpening;
    }
    if (tag == closing_) {
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

// Follows the title that holds the view name: a title element after a ZRTViewName element.
// The reader sees every title of the region: a closing title element ends the title and
// "/ZRTViewName" ends the region. The writer replaces the first title after each ZRTViewName
// element: its closing element ends both the title and the region, and "/ZRTViewName" is not
// looked at.
class ViewNameTitle {
 public:
  enum class Role { kReader, kWriter };
  explicit ViewNameTitle(Role role) : writer_(role == Role::kWriter) {}

  // Follows the element named tag. For the writer, true when it ends the title to replace.
  bool Follow(std::string_view tag) {
    if (tag == "ZRTViewName") {
      in_view_ = true;
    } else if (IsTitleStart(tag)) {
      if (in_view_) in_title_ = true;
    } else if (IsTitleEnd(tag)) {
      if (!writer_) {
        in_title_ = false;
      } else if (in_view_ && in_title_) {
        in_view_ = false;
        in_title_ = false;
        return true;
      }
    } else if (!writer_ && tag == "/ZRTViewName") {
      in_view_ = false;
    }
    return false;
  }
  // True inside the title: its text is the view name.
  bool in_title() const { return in_view_ && in_title_; }

 private:
  bool writer_;
  bool in_view_ = false;
  bool in_title_ = false;
};

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_MARKER_RULES_H_
