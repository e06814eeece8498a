// Turns scanned items back into markup: the one writer that every item rewrite shares.
#ifndef ZRTMASK_TEMPLATE_ITEM_WRITER_H_
#define ZRTMASK_TEMPLATE_ITEM_WRITER_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "template/pipeline.h"

namespace zrtmask {

// One item as the scanner reported it. The views point into the scanner's buffers and are
// valid until its next FindNextItem.
struct ScannedItem {
  int type = 0;            // ITEM_TAG, ITEM_ATTRIBUTE, ITEM_TEXT, ITEM_COMMENT or ITEM_VALUE
  std::string_view name;   // element or attribute name
  std::string_view value;  // text, comment body or attribute value
  int line = 0;            // the scanner's line number after the item
};

// Escaping rules for text put into a template, combined as bits.
enum EscapeRule : unsigned {
  kEscapeAngles = 1,       // "<" as "&lt;", ">" as "&gt;"
  kLineFeedsAsBreaks = 2,  // a line feed as "<BR>"
  kEscapeQuotes = 4,       // '"' as "&quot;"
};

// Writes items as markup into a sink. An element item writes "<" and its name and leaves the
// tag open; the close step (">" and, when the item is on another line than the previous one, a
// line feed) completes it when the next element, text or comment item comes. Output is gathered
// in a buffer and handed to the sink in large pieces. The first write failure is kept: later
// output is dropped and failed() reports it.
class ItemWriter {
 public:
  // The sink is borrowed and must outlive the writer. Allocates the buffer (may throw
  // std::bad_alloc).
  explicit ItemWriter(ByteSink& sink);
  ItemWriter(const ItemWriter&) = delete;
  ItemWriter& operator=(const ItemWriter&) = delete;

  // Writes item by the general rules: the close step for an element, text or comment item,
  // then the item itself.
  void Write(const ScannedItem& item);
  // Drops item: only its close step runs (element, text and comment items). A dropped element
  // leaves no tag open, so its ">" is never written.
  void Skip(const ScannedItem& item);
  // Writes an element item as the start of a comment: its close step, then "<!--" and the name
  // and "--". The next close step writes the ">" that ends the comment.
  void WriteTagAsComment(const ScannedItem& item);
  // The close step for item: writes the ">" of an open tag, and a line feed when item is on
  // another line than the previous item. Write, Skip and WriteTagAsComment run it themselves.
  void Close(const ScannedItem& item);
  // Writes prepared bytes (new content) as they are.
  void WriteMarkup(std::string_view bytes) { Emit(bytes); }
  // Remembers item as the previous one: its line decides the line feed of the next close step.
  // The rewrite cycle calls it after every item, written or not.
  void Record(const ScannedItem& item) { previous_line_ = item.line; }
  // Ends the text: writes the ">" of a tag that is still open, and hands everything buffered to
  // the sink.
  void Finish();

  // True once a write into the sink has failed (known when the buffer is handed over).
  bool failed() const { return failed_; }

  // text with the given EscapeRule bits applied, in one pass over its bytes (the same result as
  // replacing each character in turn, without the cost of repeated searches).
  static std::string Escape(std::string_view text, unsigned rules);

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;

  void Emit(std::string_view bytes) {
    if (bytes.size() <= kBufferSize - used_) {
      if (!bytes.empty()) std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
    } else {
      EmitLarge(bytes);
    }
  }
  void EmitLarge(std::string_view bytes);
  void Emit(char byte) {
    if (used_ == kBufferSize) Flush();
    buffer_[used_++] = byte;
  }
  void Flush();

  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  int previous_line_ = 0;
  bool tag_open_ = false;
  bool failed_ = false;
};

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_ITEM_WRITER_H_
