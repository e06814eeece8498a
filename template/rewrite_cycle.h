// The item rewrite cycle: scan the template, write its items through an edit into a temporary
// file, check, copy back over the template.
#ifndef ZRTMASK_TEMPLATE_REWRITE_CYCLE_H_
#define ZRTMASK_TEMPLATE_REWRITE_CYCLE_H_

#include "template/item_edit.h"

namespace zrtmask {

// Rewrites the template at template_path: every item goes through edit into a new temporary
// file, which is then copied back over the template with runs of line feeds folded (and line
// feeds as CR LF when the template's first line end is CR LF). Returns 0; 2 without a path;
// 2, 1 or 15 when the template cannot be opened for scanning; 3, 4, 5 or 15 when the temporary
// file cannot be created; 15 when the template cannot be read to its end; the code of
// edit.Finish (10: a region is not closed); 5 or 15 when writing the temporary file fails; 5
// when its disk is full after the scan; 7, 6 or 15 when it cannot be reopened; 8, 9 or 15 when
// the template cannot be opened for output. In all these cases the template is unchanged. 9 or
// 15 when writing into the template fails part way. Every failure after the temporary file was
// created leaves it in the temporary directory, except 10.
int RunItemRewrite(const char* template_path, ItemEdit& edit);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_REWRITE_CYCLE_H_
