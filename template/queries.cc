// The four read-only queries on a template: view name, tag content, path and marker list.
// Each walks the whole template once with a scanner of its own and changes no file.
#include <cstddef>
#include <cstring>
#include <string>

#include "ZRTDcHtmlHandler.h"
#include "ZRTHtmlFile.h"
#include "base/failures.h"
#include "scanner/scan_access.h"
#include "template/marker_rules.h"
#include "template/pipeline.h"
#include "template/recovery.h"
#include "zrtmask_result.h"

namespace {

using zrtmask::kOk;

constexpr int kViewNameTypes = ITEM_TAG | ITEM_TEXT | ITEM_VALUE;
constexpr int kTagContentTypes = ITEM_TAG | ITEM_TEXT | ITEM_VALUE;
constexpr int kPathTypes = ITEM_TAG | ITEM_COMMENT | ITEM_VALUE;
constexpr int kAllTagTypes = ITEM_TAG;

bool NameIs(const char* name, const char* expected) { return std::strcmp(name, expected) == 0; }

// Opens the template and hands every item of find_types to on_item, holding a shared lock on it
// meanwhile, so that a rewrite through the library is never seen half done. Returns 0 once the
// end is reached; otherwise the scanner's open code (2 missing, 1 unreadable, 15 other), 1 when
// the lock cannot be had in time, and 2 when the object has no path.
// The scanner reads the descriptor that holds the lock; a copy back that a crash cut is
// finished first. A FIFO, a device or a directory is refused as unreadable (1).
template <typename OnItem>
int ScanTemplate(const char* path, int find_types, OnItem on_item) {
  if (path == nullptr) return zrtmask::kTemplateMissing;
  zrtmask::ClearFailureDetail();
  zrtmask::TemplateHandle handle;
  const int opened = handle.Open(path, /*for_writing=*/false);
  if (opened != kOk) return opened;
  if (!zrtmask::LockDescriptor(handle.fd(), /*exclusive=*/false)) {
    return zrtmask::kTemplateUnreadable;
  }
  if (!zrtmask::FinishCopyBackForQuery(handle, zrtmask::TempDirectory())) {
    return zrtmask::kTemplateUnreadable;
  }
  ZRTDcHtmlHandler scanner;
  const int code = zrtmask::ScanAccess::OpenDescriptor(scanner, handle.fd());
  if (code != kOk) return code;
  scanner.SetFindTypes(find_types);
  while (scanner.FindNextItem() != 0) on_item(scanner);
  // A read that failed part way is not the end of the template: the answer may be wrong.
  if (zrtmask::ScanAccess::ReadError(scanner) != 0) return zrtmask::kOpenFailed;
  return kOk;
}

// Replaces every "&lt;" by "<" and then every "&gt;" by ">", in one pass over the bytes. This
// gives the same text as two rounds of search and replace: neither pattern overlaps itself or
// the other, and neither replacement can form a new occurrence. No other reference is decoded.
std::string DecodeAngleBrackets(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t position = 0; position < text.size(); ++position) {
    if (text.compare(position, 4, "&lt;") == 0) {
      decoded += '<';
      position += 3;
    } else if (text.compare(position, 4, "&gt;") == 0) {
      decoded += '>';
      position += 3;
    } else {
      decoded += text[position];
    }
  }
  return decoded;
}

ZRTUnicodeString ToUnicode(const std::string& bytes) {
  return ZRTUnicodeString(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

}  // namespace

int ZRTHtmlFile::GetZRTViewName(ZRTUnicodeString* name) {
  return zrtmask::CatchAll([&] {
    zrtmask::ViewNameTitle view_title(zrtmask::ViewNameTitle::Role::kReader);
    bool found = false;
    std::string title;
    const int code = ScanTemplate(_path, kViewNameTypes, [&](const ZRTDcHtmlHandler& scanner) {
      if (scanner.GetItemType() == ITEM_TAG) {
        view_title.Follow(scanner.GetItemName());
      } else if (scanner.GetItemType() == ITEM_TEXT && view_title.in_title()) {
        // The last text piece of the title wins; one leading line feed is dropped.
        const char* text = scanner.GetItemValue();
        title.assign(text[0] == '\n' ? text + 1 : text);
        found = true;
      }
    });
    if (code != kOk || name == nullptr) return code;
    // Kept on purpose: without a title the caller's own string is decoded all the same.
    const std::string current = found ? title : std::string(name->ConvertToChar());
    const std::string decoded = DecodeAngleBrackets(current);
    if (found || decoded != current) *name = ToUnicode(decoded);
    return code;
  });
}

int ZRTHtmlFile::GetZRTTagContent(ZRTUnicodeString tagName, ZRTUnicodeString* content) {
  return zrtmask::CatchAll([&] {
    if (content != nullptr) content->Reset();
    zrtmask::MarkerRegion region(tagName.ConvertToChar());
    std::string collected;
    const int code = ScanTemplate(_path, kTagContentTypes, [&](const ZRTDcHtmlHandler& scanner) {
      if (scanner.GetItemType() == ITEM_TAG) {
        const char* tag = scanner.GetItemName();
        if (region.Follow(tag) == zrtmask::MarkerElement::kOther && region.inside() &&
            zrtmask::IsLineBreak(tag)) {
          collected += '\n';
        }
      } else if (scanner.GetItemType() == ITEM_TEXT && region.inside()) {
        // Line breaks come from BR elements only: line feeds typed in the text are dropped.
        for (const char* text = scanner.GetItemValue(); *text != '\0'; ++text) {
          if (*text != '\n') collected += *text;
        }
      }
    });
    if (code != kOk || content == nullptr) return code;
    *content = ToUnicode(DecodeAngleBrackets(collected));
    return code;
  });
}

int ZRTHtmlFile::GetZRTPath(ZRTUnicodeString* path) {
  return zrtmask::CatchAll([&] {
    zrtmask::MarkerRegion path_region("ZRTPath");
    bool after_sys = false;
    bool found = false;
    std::string value;
    const int code = ScanTemplate(_path, kPathTypes, [&](const ZRTDcHtmlHandler& scanner) {
      if (scanner.GetItemType() == ITEM_TAG) {
        const char* tag = scanner.GetItemName();
        if (path_region.Follow(tag) == zrtmask::MarkerElement::kOther && NameIs(tag, "SYS")) {
          after_sys = path_region.inside();
        }
      } else if (scanner.GetItemType() == ITEM_VALUE && after_sys && path_region.inside() &&
                 NameIs(scanner.GetItemName(), "path")) {
        // Attribute names are not requested, so the name buffer holds the value's attribute.
        value = scanner.GetItemValue();
        found = true;
      }
    });
    if (code == kOk && found && path != nullptr) *path = ToUnicode(value);
    return code;
  });
}

int ZRTHtmlFile::GetAllZRTTag(ZRTListValZRTUnicodeString* tags) {
  return zrtmask::CatchAll([&] {
    return ScanTemplate(_path, kAllTagTypes, [&](const ZRTDcHtmlHandler& scanner) {
      const char* tag = scanner.GetItemName();
      if (tags != nullptr && std::strncmp(tag, "ZRT", 3) == 0) tags->Append(ZRTUnicodeString(tag));
    });
  });
}
