// The result codes that every template operation returns, with a short description of each.
// Header-only: the numbers are part of the interface, the descriptions serve tools and logs.
#ifndef ZRTMASK_INCLUDE_ZRTMASK_RESULT_H_
#define ZRTMASK_INCLUDE_ZRTMASK_RESULT_H_

namespace zrtmask {

enum ResultCode : int {
  kOk = 0,                    // success
  kTemplateUnreadable = 1,    // the template exists but cannot be read
  kTemplateMissing = 2,       // the template does not exist
  kTempNotWritable = 3,       // the temporary file cannot be created (directory missing or read-only)
  kTempExists = 4,            // the temporary file cannot be created although it exists
  kTempDiskFull = 5,          // the disk of the temporary directory is full
  kTempUnreadable = 6,        // the temporary file cannot be reopened: not readable
  kTempVanished = 7,          // the temporary file cannot be reopened: it no longer exists
  kTemplateNotWritable = 8,   // the template cannot be opened for output (or, in a marker
                              // rewrite, for input, or the temporary file is not writable)
  kTemplateDiskFull = 9,      // the template's disk (or, in a marker rewrite, the temporary disk)
                              // is full
  kRegionNotClosed = 10,      // a marker region or title is not closed; template left unchanged
  kNotInMask = 11,            // a part named in a page fill is not in the mask; nothing written
  kItemTooLong = 12,          // an item rewrite would cut an item longer than the scanner's
                              // buffers (a name over 255 bytes, a value, comment over 524287);
                              // template left unchanged
  kOpenFailed = 15,           // an open or write failed for a cause the checks do not find
  kMaskUnreadable = 21,       // the mask file exists but cannot be read
  kMaskMissing = 22,          // the mask file does not exist (or no mask path was given)
};

// Describes a result code in a few words, for messages. Unknown codes get a generic text.
inline const char* DescribeResult(int code) {
  switch (static_cast<ResultCode>(code)) {
    case kOk: return "success";
    case kTemplateUnreadable: return "template is not readable";
    case kTemplateMissing: return "template does not exist";
    case kTempNotWritable: return "temporary file cannot be created in c:/temp/";
    case kTempExists: return "temporary file exists and cannot be opened";
    case kTempDiskFull: return "disk of the temporary directory is full";
    case kTempUnreadable: return "temporary file cannot be read back";
    case kTempVanished: return "temporary file has vanished";
    case kTemplateNotWritable: return "template cannot be opened for writing";
    case kTemplateDiskFull: return "disk full";
    case kRegionNotClosed: return "a marker region or title is not closed; template left unchanged";
    case kNotInMask: return "a region, title, image or marker to fill is not in the mask";
    case kItemTooLong: return "an item is too long to be written back";
    case kOpenFailed: return "open or write failed";
    case kMaskUnreadable: return "mask file is not readable";
    case kMaskMissing: return "mask file does not exist";
  }
  return "unknown result code";
}

// Describes a result code of a publish (PublishPage, Mask::Publish, PublishSite) in a few words,
// for a message about the page; the codes that concern no page are worded as DescribeResult.
inline const char* DescribePublishResult(int code) {
  switch (code) {
    case kTemplateNotWritable:
      return "page cannot be written: its folder is missing or not writable";
    case kTemplateDiskFull:
      return "disk of the page is full; the old page is kept";
    case kRegionNotClosed:
      return "a region or title to fill is not closed in the mask; page not written";
    case kNotInMask:
      return "a region, title, image or marker to fill is not in the mask; page not written";
    case kOpenFailed:
      return "page could not be written or flushed";
    case kMaskUnreadable:
      return "mask file is not readable, or not a regular file";
    default:
      return DescribeResult(code);
  }
}

}  // namespace zrtmask

#endif  // ZRTMASK_INCLUDE_ZRTMASK_RESULT_H_
