// The record that makes a copy back recoverable: before the first byte is written over a
// template, its new text is on disk in the temporary file and a record in the temporary
// directory names the template (device and inode), the temporary file, the new length and a
// checksum of the text. The next rewrite or query of the template, once it holds the lock,
// finishes an outstanding copy back first; `zrtmask recover` does so explicitly.
#ifndef ZRTMASK_TEMPLATE_RECOVERY_H_
#define ZRTMASK_TEMPLATE_RECOVERY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "template/pipeline.h"

namespace zrtmask {

// 64-bit FNV-1a over the bytes added: cheap, and enough to tell a text from another.
class Checksum {
 public:
  void Add(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      value_ = (value_ ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ULL;
    }
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

struct CopyBackRecord {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t length = 0;
  std::uint64_t checksum = 0;
  std::string temp_name;      // the temporary file's name within the temporary directory
  std::string template_path;  // the template's path as the rewrite resolved it (for recover)
};

// The record of the template with this identity in directory (which ends in '/'): one name,
// found with one stat.
std::string RecordPath(const std::string& directory, std::uint64_t device, std::uint64_t inode);

// Writes record durably: under a new name, flushed, renamed to RecordPath, and the directory
// flushed (which also makes the temporary file's name durable). Returns true, or false with the
// errno in *error (nothing is left then).
bool WriteRecord(const std::string& directory, const CopyBackRecord& record, int* error);
// Removes the record of the template with this identity. Returns true, or false with the errno.
bool RemoveRecord(const std::string& directory, std::uint64_t device, std::uint64_t inode,
                  int* error);

// Where a copy back reads the new text: up to size bytes at offset into buffer; the count, 0 at
// the end, or -1 when the read failed.
using CopySource = std::function<long(char* buffer, std::size_t size, std::uint64_t offset)>;
CopySource DescriptorSource(int fd);
CopySource MemorySource(const std::string& text);  // text must outlive the source

// Writes the length bytes of source over the template through its descriptor (inode, mode and
// links stay), reserving the space first unless its blocks cover it, cuts it to length and
// flushes it to disk. Returns 0; 9 when its disk is full, 15 otherwise. *touched tells whether
// the template may have changed: a reservation that fails leaves it as it was.
int CopyBackFrom(const TemplateHandle& handle, std::uint64_t length, const CopySource& source,
                 bool* touched);

// What a recovery did.
struct RecoveryResult {
  enum class Outcome {
    kNone,       // no record for the template
    kFinished,   // the copy back was finished; record and temporary file removed
    kLeftAlone,  // the record or its text failed a check (problem says which); left as it is
    kFailed,     // the copy back failed again (full disk, say); record kept for the next try
  };
  Outcome outcome = Outcome::kNone;
  std::string record_path;
  std::string template_path;
  std::string problem;
  std::uint64_t length = 0;
};

// Finishes the copy back recorded for the template open in handle, which the caller holds
// exclusively locked. A descriptor open for reading only is joined by one for writing, opened
// by the handle's path and used only when it is the same file. A record left alone, or a copy
// back that fails, is traced.
RecoveryResult FinishCopyBack(const TemplateHandle& handle, const std::string& directory);

// For a query holding a shared lock on handle: when a record exists (one stat), takes the lock
// exclusively, finishes the copy back, and takes the shared lock again. Returns false only when
// the exclusive lock was not had in time.
bool FinishCopyBackForQuery(const TemplateHandle& handle, const std::string& directory);

// For `zrtmask recover`: finishes the copy back of each template named (none: of every record
// in directory, by the template path it holds). Returns one result per record found.
std::vector<RecoveryResult> RecoverTemplates(const std::string& directory,
                                             const std::vector<std::string>& templates);

}  // namespace zrtmask

#endif  // ZRTMASK_TEMPLATE_RECOVERY_H_
