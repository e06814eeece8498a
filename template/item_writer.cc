// The item writer: the re-serialisation rules shared by every item rewrite.
#include "template/item_writer.h"

#include "ZRTDcHtmlHandler.h"

namespace zrtmask {

ItemWriter::ItemWriter(ByteSink& sink) : sink_(sink), buffer_(new char[kBufferSize]) {}

void ItemWriter::Flush() {
  if (!failed_ && used_ > 0 && !sink_.Write(buffer_.get(), used_)) failed_ = true;
  used_ = 0;
}

void ItemWriter::EmitLarge(std::string_view bytes) {
  Flush();
  if (bytes.size() >= kBufferSize) {
    // A long piece (a large text) goes to the sink directly.
    if (!failed_ && !sink_.Write(bytes.data(), bytes.size())) failed_ = true;
    return;
  }
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  used_ = bytes.size();
}

void ItemWriter::Close(const ScannedItem& item) {
  if (!tag_open_) return;
  Emit('>');
  // Kept on purpose: a line feed follows whenever the item is on another line, even before a
  // text that brings its own; the copy back folds the doubled line feeds.
  if (item.line != previous_line_) Emit('\n');
  tag_open_ = false;
}

void ItemWriter::Write(const ScannedItem& item) {
  switch (item.type) {
    case ITEM_TAG:
      Close(item);
      Emit('<');
      Emit(item.name);
      tag_open_ = true;
      return;
    case ITEM_ATTRIBUTE:
      if (tag_open_) Emit(' ');
      Emit(item.name);
      return;
    case ITEM_VALUE: {
      // By the scanner's rules a value never holds both quotes: one that holds a double quote
      // came in single quotes and goes back in them.
      char quote = item.value.find('"') == std::string_view::npos ? '"' : '\'';
      Emit(item.name);
      Emit('=');
      Emit(quote);
      Emit(item.value);
      Emit(quote);
      return;
    }
    case ITEM_TEXT:
      Close(item);
      Emit(item.value);
      return;
    case ITEM_COMMENT:
      Close(item);
      // The body starts and ends with a dash of the opener and the closer.
      Emit("<!-");
      Emit(item.value);
      Emit("->");
      // Kept on purpose: the previous line starts at 0, so a comment that opens the template
      // gets a line feed after it too.
      if (item.line != previous_line_) Emit('\n');
      return;
    default:
      return;
  }
}

void ItemWriter::Skip(const ScannedItem& item) {
  if (item.type == ITEM_TAG || item.type == ITEM_TEXT || item.type == ITEM_COMMENT) Close(item);
}

void ItemWriter::WriteTagAsComment(const ScannedItem& item) {
  Close(item);
  Emit("<!--");
  Emit(item.name);
  Emit("--");
  tag_open_ = true;
}

void ItemWriter::Finish() {
  if (tag_open_) Emit('>');
  tag_open_ = false;
  Flush();
}

std::string ItemWriter::Escape(std::string_view text, unsigned rules) {
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 8);
  for (char byte : text) {
    if (byte == '<' && (rules & kEscapeAngles) != 0) {
      escaped += "&lt;";
    } else if (byte == '>' && (rules & kEscapeAngles) != 0) {
      escaped += "&gt;";
    } else if (byte == '\n' && (rules & kLineFeedsAsBreaks) != 0) {
      escaped += "<BR>";
    } else if (byte == '"' && (rules & kEscapeQuotes) != 0) {
      escaped += "&quot;";
    } else {
      escaped += byte;
    }
  }
  return escaped;
}

}  // namespace zrtmask
