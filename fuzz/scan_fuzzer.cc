// Scanner harness: arbitrary bytes scanned with an arbitrary find mask. Checks that the buffers
// stay terminated within their sizes, that the line number is one plus the line feeds read, and
// that a restricted mask hands out exactly the items of the full mask that it asks for.
//
// Input: the first byte is the find mask (its low six bits) and two options; the rest is the
// file. Bit 0x40 stretches each 0x01 byte of the file into a run of plain letters two bytes
// longer than a name may be, and the first 0x02 byte into one two bytes longer than a value
// may be, so that the items around them are cut; bit 0x80 puts a block's worth of text in
// front, so that the file's first bytes straddle the reader's first block boundary.
// The same bytes, read from memory, give an outline whose regions start and end at the "<" and
// ">" of their elements, and a render with nothing to fill gives them back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "fuzz/fuzz_support.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"

namespace {

using zrtmask::fuzz::Require;

constexpr int kAllItemTypes = ITEM_TAG | ITEM_ATTRIBUTE | ITEM_TEXT | ITEM_COMMENT | ITEM_VALUE;
constexpr int kMaskBits = 0x3f;
constexpr int kStretchOption = 0x40;
constexpr char kNameStretchMark = '\x01';
constexpr char kValueStretchMark = '\x02';
constexpr int kBoundaryOption = 0x80;
// The reader's block size: a prefix this long but two bytes puts the file's first bytes across
// the first boundary.
constexpr std::size_t kBlockSize = 64 * 1024;

const char* const kScanPath = "scan.html";

struct Item {
  int type;
  int line;
  std::string content;  // the name for element and attribute items, the value otherwise

  bool operator==(const Item& other) const {
    return type == other.type && line == other.line && content == other.content;
  }
};

bool IsSingleItemType(int type) {
  return type == ITEM_TAG || type == ITEM_ATTRIBUTE || type == ITEM_TEXT || type == ITEM_COMMENT ||
         type == ITEM_VALUE;
}

// With memchr rather than a byte loop, which the coverage instrumentation would slow down.
int CountLineFeeds(std::string_view text) {
  int count = 0;
  const char* rest = text.data();
  const char* const end = text.data() + text.size();
  while (rest != end) {
    const void* line_feed = std::memchr(rest, '\n', static_cast<std::size_t>(end - rest));
    if (line_feed == nullptr) break;
    ++count;
    rest = static_cast<const char*>(line_feed) + 1;
  }
  return count;
}

// Scans the file with mask, checking each item as it comes.
std::vector<Item> Scan(int mask, int file_line_feeds) {
  ZRTDcHtmlHandler scanner;
  scanner.SetFindTypes(mask);
  Require(scanner.OpenFile(kScanPath) == 0, "the scanner could not open its file");
  std::vector<Item> items;
  int previous_line = 1;
  // Every line feed that an item holds has been read; none can be read twice.
  int line_feeds_in_items = 0;
  while (scanner.FindNextItem() != 0) {
    const int type = scanner.GetItemType();
    Require(IsSingleItemType(type), "the item type is not one item-type bit");
    Require((type & mask) != 0, "an item of a type that the mask does not ask for");
    const char* name = scanner.GetItemName();
    const char* value = scanner.GetItemValue();
    Require(std::memchr(name, '\0', static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxNameSize)) !=
                nullptr,
            "the name buffer is not terminated within its size");
    Require(std::memchr(value, '\0', static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxValueSize)) !=
                nullptr,
            "the value buffer is not terminated within its size");
    Item item;
    item.type = type;
    item.line = scanner.GetCurrentLineNb();
    item.content = (type == ITEM_TAG || type == ITEM_ATTRIBUTE) ? name : value;
    Require(item.line >= previous_line, "the line number went back");
    Require(item.line <= 1 + file_line_feeds, "the line number is past the file's last line");
    if (mask == kAllItemTypes) {
      line_feeds_in_items += CountLineFeeds(item.content);
      Require(item.line >= 1 + line_feeds_in_items,
              "the line number is below the line feeds that the items hold");
    }
    previous_line = item.line;
    items.push_back(std::move(item));
  }
  Require(scanner.GetCurrentLineNb() == 1 + file_line_feeds,
          "at the end the line number is not one plus the file's line feeds");
  Require(scanner.FindNextItem() == 0, "an item after the end of the input");
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zrtmask::fuzz::ScratchDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const zrtmask::fuzz::InScratchDirectory in_scratch;
  const int options = data[0];
  const int mask = options & kMaskBits;
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string file;
  if ((options & kBoundaryOption) != 0) file.assign(kBlockSize - 2, 'a');
  file += body;
  if ((options & kStretchOption) != 0) {
    // One mark for values only: past a value's limit the scanner reads byte by byte.
    const std::size_t value_mark = file.find(kValueStretchMark);
    if (value_mark != std::string::npos) {
      file.replace(value_mark, 1, static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxValueSize) + 1,
                   'x');
    }
    for (std::size_t mark = file.find(kNameStretchMark); mark != std::string::npos;
         mark = file.find(kNameStretchMark, mark)) {
      file.replace(mark, 1, static_cast<std::size_t>(ZRTDcHtmlHandler::s_MaxNameSize) + 1, 'x');
    }
  }
  zrtmask::fuzz::WriteBytes(kScanPath, file);

  // A CR LF pair reads as its line feed and a lone CR is no line end: either way the line feeds
  // read are the file's line-feed bytes.
  const int line_feeds = CountLineFeeds(file);
  const std::vector<Item> all = Scan(kAllItemTypes, line_feeds);
  const std::vector<Item> some = Scan(mask, line_feeds);
  std::vector<Item> expected;
  for (const Item& item : all) {
    if ((item.type & mask) != 0) expected.push_back(item);
  }
  Require(some == expected, "a restricted mask changed the items it asks for");

  zrtmask::Outline outline;
  Require(zrtmask::OutlineMask(file, {}, &outline) == 0, "the outline failed");
  for (const zrtmask::OutlineRegion& region : outline.regions) {
    Require(file[region.opening.begin] == '<' && region.opening.end <= region.content.begin &&
                region.content.end <= region.closing.begin && region.closing.end <= file.size(),
            "a region's ranges are out of order");
    if (region.closed) {
      Require(file[region.opening.end - 1] == '>' && file[region.closing.begin] == '<' &&
                  file[region.closing.end - 1] == '>',
              "a closed region does not span its elements");
    }
  }
  std::string page;
  Require(zrtmask::RenderPage(file, zrtmask::PageFill(), &page) == 0 && page == file,
          "a render with nothing to fill changed the bytes");
  return 0;
}
