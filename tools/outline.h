// Reading a template for the tool's own checks: its items through the library's scanner, and
// its outline (zrtmask::OutlineMask), which decides which region or title a rewrite reports as
// not closed, and where a processing marker is.
#ifndef ZRTMASK_TOOLS_OUTLINE_H_
#define ZRTMASK_TOOLS_OUTLINE_H_

#include <functional>
#include <string>
#include <vector>

#include "ZRTDcHtmlHandler.h"
#include "zrtmask_outline.h"

namespace zrtmask::cli {

// Opens path with a scanner and hands it to on_item at every item of find_types. Returns the
// scanner's open code (0; 2 missing, 1 unreadable, 15 otherwise).
int ScanItems(const std::string& path, int find_types,
              const std::function<void(ZRTDcHtmlHandler& scanner)>& on_item);

// The result code for a template that could not be read with errno value error.
int ReadFailureCode(int error);

// Reads the template at path and outlines it, following region besides the names that begin
// with "ZRT" when it is not empty. Returns 0 or the result code of reading it.
int ReadOutline(const std::string& path, const std::string& region, Outline& outline);

// The masks that the operands name, for check and outline: each operand as it is, but a folder
// in its place gives the regular files under it (at any depth) whose names end in ".htm" or
// ".html", in the order of their paths; links to folders are not followed. Returns 0, or the errno value of
// a folder that cannot be listed, named in *failed.
int ListMasks(const std::vector<std::string>& operands, std::vector<std::string>& masks,
              std::string* failed);

}  // namespace zrtmask::cli

#endif  // ZRTMASK_TOOLS_OUTLINE_H_
