// The item edits: the producer that scans the template and writes every item back through an
// edit, and the four edits (view name, tag content, tag content dump, image reference), each
// stating only what it changes.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "base/failures.h"
#include "scanner/scan_access.h"
#include "template/item_edit.h"
#include "template/marker_rules.h"
#include "template/pipeline.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

// Scans the template and hands every item to an edit, which writes the new text.
class ItemProducer : public Producer {
 public:
  explicit ItemProducer(ItemEdit& edit) : edit_(edit) {}

  int Open(int template_fd) override {
    const int opened = ScanAccess::OpenDescriptor(scanner_, template_fd);
    if (opened == kOk) scanner_.SetFindTypes(kAllItemTypes);
    return opened;
  }

  int Produce(ByteSink& sink) override {
    ItemWriter writer(sink);
    // After a failed write the rest of the scan would be wasted: the sink reports it.
    while (!writer.failed() && scanner_.FindNextItem() != 0) {
      ScannedItem item;
      item.type = scanner_.GetItemType();
      // Each type carries its text in one buffer (a value item in both); the other buffer may
      // hold a stale name and is not measured.
      if (item.type != ITEM_TEXT && item.type != ITEM_COMMENT) item.name = scanner_.GetItemName();
      if (item.type != ITEM_TAG && item.type != ITEM_ATTRIBUTE) {
        item.value = scanner_.GetItemValue();
      }
      item.line = scanner_.GetCurrentLineNb();
      // Written back, an item that the scanner cut would lose its end.
      if (ScanAccess::TakeItemCut(scanner_)) {
        NoteFailureDetail({FailureDetail::Kind::kItemTooLong, item.line, ""});
        return kItemTooLong;
      }
      edit_.OnItem(item, writer);
      writer.Record(item);
    }
    // A read that failed part way would write back a template cut short.
    if (ScanAccess::ReadError(scanner_) != 0) return kOpenFailed;
    if (writer.failed()) return kOk;
    // A nonzero code abandons the rewrite.
    const int finished = edit_.Finish(writer);
    if (finished == kOk) writer.Finish();
    return finished;
  }

  const char* DiskFullMessage() const override { return edit_.DiskFullMessage(); }

 private:
  ItemEdit& edit_;
  ZRTDcHtmlHandler scanner_;
};

// The UTF-8 bytes of text, up to its first zero byte: a zero byte has always ended the content
// written into a template.
std::string Utf8Of(const ZRTUnicodeString& text) {
  std::string buffer(static_cast<std::size_t>(text.GetLengthInChar()) * 4 + 4, '\0');
  unsigned int length = 0;
  text.ConvertToUTF8(buffer.data(), &length);
  buffer.resize(length);
  std::size_t zero = buffer.find('\0');
  if (zero != std::string::npos) buffer.resize(zero);
  return buffer;
}

// Replaces the text of the first title element after each ZRTViewName element with the new
// name, written just before the closing title element.
class ViewNameEdit : public ItemEdit {
 public:
  explicit ViewNameEdit(std::string escaped_name) : name_(std::move(escaped_name)) {}

  void OnItem(const ScannedItem& item, ItemWriter& out) override {
    if (item.type == ITEM_TAG) {
      if (title_.Follow(item.name)) {
        out.Close(item);
        out.WriteMarkup(name_);
      }
    } else if (item.type == ITEM_TEXT && title_.in_title()) {
      out.Skip(item);
      return;
    }
    out.Write(item);
  }

  // A title that never closes would have lost every later text.
  int Finish(ItemWriter& /*out*/) override { return title_.in_title() ? kRegionNotClosed : kOk; }

 private:
  std::string name_;
  ViewNameTitle title_{ViewNameTitle::Role::kWriter};
};

// Fills every region of a marker with content: the region's text and line-break elements are
// dropped, the opening element becomes a comment holding its name, and the closing element
// becomes the content followed by a comment holding its name. Serves both the tag content
// rewrite and the dump, which differ only in the prepared content and the trace message.
class RegionContentEdit : public ItemEdit {
 public:
  RegionContentEdit(std::string_view marker_name, std::string content,
                    const char* disk_full_message)
      : region_(marker_name), content_(std::move(content)), disk_full_message_(disk_full_message) {}

  void OnItem(const ScannedItem& item, ItemWriter& out) override {
    if (item.type == ITEM_ATTRIBUTE || item.type == ITEM_VALUE) {
      // The attributes of a dropped line-break element go with it.
      if (!dropping_break_) out.Write(item);
      return;
    }
    dropping_break_ = false;
    switch (item.type == ITEM_TAG ? region_.Follow(item.name) : MarkerElement::kOther) {
      case MarkerElement::kOpening:
        out.WriteTagAsComment(item);
        return;
      case MarkerElement::kClosing:
        out.Close(item);
        out.WriteMarkup(content_);
        out.WriteTagAsComment(item);
        return;
      case MarkerElement::kOther:
        break;
    }
    if (region_.inside() && item.type == ITEM_TAG && IsLineBreak(item.name)) {
      out.Skip(item);
      dropping_break_ = true;
      return;
    }
    if (region_.inside() && item.type == ITEM_TEXT) {
      out.Skip(item);
      return;
    }
    out.Write(item);
  }

  // A region that never closes would have lost every later text.
  int Finish(ItemWriter& /*out*/) override { return region_.inside() ? kRegionNotClosed : kOk; }

  const char* DiskFullMessage() const override { return disk_full_message_; }

 private:
  MarkerRegion region_;
  std::string content_;
  const char* disk_full_message_;
  bool dropping_break_ = false;
};

// Sets the source, width and height values of the image element inside the ZRTImage region;
// the region's two elements become comments holding their names.
class ImageEdit : public ItemEdit {
 public:
  ImageEdit(std::string source, std::string width, std::string height)
      : source_(std::move(source)), width_(std::move(width)), height_(std::move(height)) {}

  void OnItem(const ScannedItem& item, ItemWriter& out) override {
    switch (item.type) {
      case ITEM_TAG:
        pending_ = nullptr;
        if (region_.Follow(item.name) != MarkerElement::kOther) {
          in_image_ = false;
          out.WriteTagAsComment(item);
          return;
        }
        in_image_ = region_.inside() && (item.name == "IMG" || item.name == "img");
        out.Write(item);
        return;
      case ITEM_ATTRIBUTE:
        pending_ = in_image_ ? ReplacementFor(item.name) : nullptr;
        out.Write(item);
        return;
      case ITEM_VALUE:
        if (pending_ != nullptr) {
          ScannedItem replaced = item;
          replaced.value = *pending_;
          pending_ = nullptr;
          out.Write(replaced);
          return;
        }
        out.Write(item);
        return;
      default:
        pending_ = nullptr;
        out.Write(item);
        return;
    }
  }

 private:
  const std::string* ReplacementFor(std::string_view attribute) const {
    if (attribute == "SRC" || attribute == "src") return &source_;
    if (attribute == "HEIGHT" || attribute == "height") return &height_;
    if (attribute == "WIDTH" || attribute == "width") return &width_;
    return nullptr;
  }

  MarkerRegion region_{"ZRTImage"};
  std::string source_;
  std::string width_;
  std::string height_;
  bool in_image_ = false;
  // The value that the next attribute value takes, set by the attribute name just before it.
  const std::string* pending_ = nullptr;
};

}  // namespace

int RunItemRewrite(const char* template_path, ItemEdit& edit) {
  if (template_path == nullptr) return kTemplateMissing;
  ClearFailureDetail();
  ItemProducer producer(edit);
  return RunStagedRewrite(template_path, producer, RewriteKind::kItems);
}

}  // namespace zrtmask

int ZRTHtmlFile::SetZRTViewName(ZRTUnicodeString name) {
  return zrtmask::CatchAll([&] {
    const char* bytes = name;
    zrtmask::ViewNameEdit edit(zrtmask::ItemWriter::Escape(bytes, zrtmask::kEscapeAngles));
    return zrtmask::RunItemRewrite(_path, edit);
  });
}

int ZRTHtmlFile::SetZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString content) {
  return zrtmask::CatchAll([&] {
    std::string prepared = zrtmask::ItemWriter::Escape(
        zrtmask::Utf8Of(content), zrtmask::kEscapeAngles | zrtmask::kLineFeedsAsBreaks);
    prepared += "<BR>";
    zrtmask::RegionContentEdit edit(tagName.ConvertToChar(), std::move(prepared),
                                    "disk full : ZRTHtmlFile::SetZRTTagContent ...\n");
    return zrtmask::RunItemRewrite(_path, edit);
  });
}

int ZRTHtmlFile::dumpZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString text) {
  return zrtmask::CatchAll([&] {
    zrtmask::RegionContentEdit edit(tagName.ConvertToChar(), zrtmask::Utf8Of(text),
                                    "Disk full : ZRTHtmlFile::dump ...\n");
    return zrtmask::RunItemRewrite(_path, edit);
  });
}

int ZRTHtmlFile::SetZRTImageName(ZRTUnicodeString imageName, int width, int height) {
  return zrtmask::CatchAll([&] {
    const char* bytes = imageName;
    // The name is written whole, in double quotes: a double quote in it becomes "&quot;".
    zrtmask::ImageEdit edit(zrtmask::ItemWriter::Escape(bytes, zrtmask::kEscapeQuotes),
                            std::to_string(width), std::to_string(height));
    return zrtmask::RunItemRewrite(_path, edit);
  });
}
