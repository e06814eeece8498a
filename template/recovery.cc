// The copy-back record: written before a template is overwritten, removed once the new text is
// on disk in the template, and finished by whoever next holds the template's lock.
#include "template/recovery.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "ZRTWebTrace.h"
#include "base/failures.h"
#include "base/platform.h"
#include "zrtmask_result.h"

namespace zrtmask {

namespace {

constexpr std::size_t kChunkSize = 1 << 16;
constexpr char kRecordPrefix[] = ".zrtmask-";
constexpr char kRecordSuffix[] = ".record";
constexpr char kRecordHeader[] = "zrtmask copy back 1";
// A record is a few lines; anything larger is not one of ours.
constexpr std::size_t kMaxRecordSize = 8192;

// True when a failed reservation says only that the file cannot reserve space (a device, a
// file system without the call): the copy back then goes ahead without one.
bool CannotReserve(int error) {
  return error == EOPNOTSUPP || error == ENODEV || error == ESPIPE || error == EINVAL;
}

std::string RecordText(const CopyBackRecord& record) {
  std::ostringstream text;
  text << kRecordHeader << "\ndevice " << record.device << "\ninode " << record.inode << "\nlength "
       << record.length << "\nchecksum " << record.checksum << "\ntemp " << record.temp_name
       << "\ntemplate " << record.template_path << "\n";
  return text.str();
}

// Reads the record at path. Returns "" or what is wrong with it.
std::string ReadRecord(const std::string& path, CopyBackRecord* record) {
  int error = 0;
  const int fd = OpenDescriptor(path.c_str(), kOpenRead | kOpenNoFollow, 0, &error);
  if (fd < 0) return "the record cannot be opened";
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* owned) {
    int ignored = 0;
    CloseFd(*owned, &ignored);
    delete owned;
  });
  FileStatus status;
  if (!StatDescriptor(fd, &status, &error)) return "the record cannot be examined";
  // Only a record that this user (or root) wrote is acted on.
  if (!status.regular || (status.owner != EffectiveUserId() && status.owner != 0)) {
    return "the record is not a file of this user";
  }
  if (static_cast<std::uint64_t>(status.size) > kMaxRecordSize) return "the record is too long";
  std::string text(static_cast<std::size_t>(status.size), '\0');
  if (ReadAt(fd, text.data(), text.size(), 0, &error) != static_cast<long>(text.size())) {
    return "the record cannot be read";
  }
  std::istringstream lines(text);
  std::string header;
  std::getline(lines, header);
  if (header != kRecordHeader) return "the record is not a copy-back record";
  std::string key;
  int fields = 0;
  while (lines >> key) {
    if (key == "device" && (lines >> record->device)) ++fields;
    if (key == "inode" && (lines >> record->inode)) ++fields;
    if (key == "length" && (lines >> record->length)) ++fields;
    if (key == "checksum" && (lines >> record->checksum)) ++fields;
    if (key == "temp" || key == "template") {
      lines.get();
      std::getline(lines, key == "temp" ? record->temp_name : record->template_path);
      ++fields;
    }
  }
  if (fields != 6 || record->temp_name.empty() ||
      record->temp_name.find('/') != std::string::npos) {
    return "the record is incomplete";
  }
  return "";
}

// Checks the temporary file that record names. Returns its descriptor (owned by the caller),
// or -1 with *problem set.
int OpenRecordedText(const std::string& directory, const CopyBackRecord& record,
                     std::string* problem) {
  int error = 0;
  const std::string path = directory + record.temp_name;
  const int fd = OpenDescriptor(path.c_str(), kOpenRead | kOpenNoFollow, 0, &error);
  if (fd < 0) {
    *problem = "its temporary file " + path + " cannot be opened";
    return -1;
  }
  FileStatus status;
  bool ok = StatDescriptor(fd, &status, &error) && status.regular &&
            (status.owner == EffectiveUserId() || status.owner == 0) &&
            static_cast<std::uint64_t>(status.size) >= record.length;
  if (ok) {
    Checksum checksum;
    std::unique_ptr<char[]> chunk(new char[kChunkSize]);
    std::uint64_t offset = 0;
    while (ok && offset < record.length) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, record.length - offset));
      const long count = ReadAt(fd, chunk.get(), want, offset, &error);
      ok = count > 0;
      if (ok) {
        checksum.Add(chunk.get(), static_cast<std::size_t>(count));
        offset += static_cast<std::uint64_t>(count);
      }
    }
    ok = ok && checksum.value() == record.checksum;
  }
  if (!ok) {
    *problem = "its temporary file " + path + " does not hold the text recorded";
    CloseFd(fd, &error);
    return -1;
  }
  return fd;
}

void Trace(const RecoveryResult& result) {
  ZRTWebTrace::trace("zrtmask: %s: copy back not finished: %s\n", result.record_path.c_str(),
                     result.problem.c_str());
}

bool IsRecordName(const std::string& name) {
  const std::size_t prefix = sizeof kRecordPrefix - 1;
  const std::size_t suffix = sizeof kRecordSuffix - 1;
  return name.size() > prefix + suffix && name.compare(0, prefix, kRecordPrefix) == 0 &&
         name.compare(name.size() - suffix, suffix, kRecordSuffix) == 0;
}

}  // namespace

std::string RecordPath(const std::string& directory, std::uint64_t device, std::uint64_t inode) {
  return directory + kRecordPrefix + std::to_string(device) + "-" + std::to_string(inode) +
         kRecordSuffix;
}

bool WriteRecord(const std::string& directory, const CopyBackRecord& record, int* error) {
  const std::string final_path = RecordPath(directory, record.device, record.inode);
  // One staging name per template: the template's lock keeps other rewrites of it out, and a
  // staging file that a crash left is removed rather than piled up.
  const std::string staging = final_path + ".new";
  int ignored_error = 0;
  RemoveFile(staging.c_str(), &ignored_error);
  const int fd = OpenDescriptor(staging.c_str(),
                                kOpenReadWrite | kOpenCreateExclusive | kOpenNoFollow, 0600, error);
  if (fd < 0) return false;
  const std::string text = RecordText(record);
  bool ok = WriteAll(fd, text.data(), text.size(), error) && SyncFd(fd, error);
  int close_error = 0;
  if (!CloseFd(fd, &close_error) && ok) {
    *error = close_error;
    ok = false;
  }
  // The rename makes the record appear whole or not at all; the directory's flush makes it,
  // and the temporary file's name, durable.
  ok = ok && RenameFile(staging.c_str(), final_path.c_str(), error);
  if (!ok) {
    int ignored = 0;
    RemoveFile(staging.c_str(), &ignored);
    return false;
  }
  if (!SyncDirectory(directory.c_str(), error)) {
    int ignored = 0;
    RemoveFile(final_path.c_str(), &ignored);
    return false;
  }
  return true;
}

bool RemoveRecord(const std::string& directory, std::uint64_t device, std::uint64_t inode,
                  int* error) {
  return RemoveFile(RecordPath(directory, device, inode).c_str(), error);
}

CopySource DescriptorSource(int fd) {
  return [fd](char* buffer, std::size_t size, std::uint64_t offset) {
    int error = 0;
    return ReadAt(fd, buffer, size, offset, &error);
  };
}

CopySource MemorySource(const std::string& text) {
  return [&text](char* buffer, std::size_t size, std::uint64_t offset) -> long {
    if (offset >= text.size()) return 0;
    const std::size_t count = std::min<std::size_t>(size, text.size() - offset);
    std::memcpy(buffer, text.data() + offset, count);
    return static_cast<long>(count);
  };
}

int CopyBackFrom(const TemplateHandle& handle, std::uint64_t length, const CopySource& source,
                 bool* touched) {
  *touched = false;
  const int fd = handle.fd();
  const char* path = handle.path();
  int error = 0;
  FileStatus before;
  if (!StatDescriptor(fd, &before, &error)) return kOpenFailed;
  const std::uint64_t old_size = static_cast<std::uint64_t>(before.size);
  // A text that fits in the blocks the template holds needs no new space: they are written over.
  if (length > before.allocated && !ReserveSpace(fd, length, &error) && !CannotReserve(error)) {
    const int code = WriteFailureCode(error, path, kTemplateDiskFull);
    // A reservation that failed half way may have grown the file.
    FileStatus after;
    int ignored = 0;
    if (StatDescriptor(fd, &after, &ignored) && after.size != before.size) {
      TruncateFd(fd, old_size, &ignored);
    }
    return code;
  }
  *touched = true;
  std::unique_ptr<char[]> chunk(new char[kChunkSize]);
  std::uint64_t written = 0;
  while (written < length) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, length - written));
    const long count = source(chunk.get(), want, written);
    if (count <= 0) return kOpenFailed;
    if (!WriteAllAt(fd, chunk.get(), static_cast<std::size_t>(count), written, &error)) {
      return WriteFailureCode(error, path, kTemplateDiskFull);
    }
    written += static_cast<std::uint64_t>(count);
    StepReached("copy-back-chunk");
  }
  // A text no shorter than the old one has replaced it whole: only a shorter one needs the cut.
  if (written < old_size && !TruncateFd(fd, written, &error)) return kOpenFailed;
  if (!SyncFd(fd, &error)) return WriteFailureCode(error, path, kTemplateDiskFull);
  return kOk;
}

RecoveryResult FinishCopyBack(const TemplateHandle& handle, const std::string& directory) {
  RecoveryResult result;
  const FileStatus& identity = handle.status();
  result.record_path = RecordPath(directory, identity.device, identity.inode);
  result.template_path = handle.path() != nullptr ? handle.path() : "";
  FileStatus ignored_status;
  int error = 0;
  if (!StatPath(result.record_path.c_str(), &ignored_status, &error)) return result;

  result.outcome = RecoveryResult::Outcome::kLeftAlone;
  CopyBackRecord record;
  result.problem = ReadRecord(result.record_path, &record);
  if (result.problem.empty() &&
      (record.device != identity.device || record.inode != identity.inode)) {
    result.problem = "the record names another file";
  }
  if (!result.problem.empty()) {
    Trace(result);
    return result;
  }
  result.length = record.length;
  const int text_fd = OpenRecordedText(directory, record, &result.problem);
  if (text_fd < 0) {
    Trace(result);
    return result;
  }
  // A query holds the template for reading only: a descriptor for writing joins it, used only
  // when it is the same file.
  TemplateHandle writer;
  const TemplateHandle* target = &handle;
  if (!handle.writable()) {
    if (writer.Open(handle.path(), /*for_writing=*/true) != kOk || !writer.writable() ||
        writer.status().device != identity.device || writer.status().inode != identity.inode) {
      result.problem = "the template cannot be opened for writing";
      CloseFd(text_fd, &error);
      Trace(result);
      return result;
    }
    target = &writer;
  }
  bool touched = false;
  const int copied = CopyBackFrom(*target, record.length, DescriptorSource(text_fd), &touched);
  CloseFd(text_fd, &error);
  if (copied != kOk) {
    result.outcome = RecoveryResult::Outcome::kFailed;
    result.problem = std::string("the copy back failed again: ") + DescribeResult(copied);
    Trace(result);
    return result;
  }
  RemoveFile(result.record_path.c_str(), &error);
  RemoveFile((directory + record.temp_name).c_str(), &error);
  result.outcome = RecoveryResult::Outcome::kFinished;
  result.problem.clear();
  return result;
}

bool FinishCopyBackForQuery(const TemplateHandle& handle, const std::string& directory) {
  const FileStatus& identity = handle.status();
  FileStatus ignored_status;
  int error = 0;
  if (!StatPath(RecordPath(directory, identity.device, identity.inode).c_str(), &ignored_status,
                &error)) {
    return true;
  }
  // flock converts the lock in place; another rewrite may pass in between, which is as if the
  // query had come after it.
  if (!LockDescriptor(handle.fd(), /*exclusive=*/true)) return false;
  FinishCopyBack(handle, directory);
  return LockDescriptor(handle.fd(), /*exclusive=*/false);
}

std::vector<RecoveryResult> RecoverTemplates(const std::string& directory,
                                             const std::vector<std::string>& templates) {
  std::vector<RecoveryResult> results;
  std::vector<std::string> paths = templates;
  std::vector<std::string> record_paths(templates.size());
  if (templates.empty()) {
    std::vector<std::string> names;
    int error = 0;
    ListNames(directory.c_str(), &names, &error);
    for (const std::string& name : names) {
      if (!IsRecordName(name)) continue;
      CopyBackRecord record;
      RecoveryResult result;
      result.record_path = directory + name;
      result.problem = ReadRecord(result.record_path, &record);
      if (!result.problem.empty()) {
        result.outcome = RecoveryResult::Outcome::kLeftAlone;
        results.push_back(result);
        continue;
      }
      paths.push_back(record.template_path);
      record_paths.push_back(directory + name);
    }
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    TemplateHandle handle;
    RecoveryResult result;
    result.template_path = path;
    result.record_path = record_paths[i];
    if (handle.Open(path.c_str(), /*for_writing=*/true) != kOk) {
      result.outcome = RecoveryResult::Outcome::kLeftAlone;
      result.problem = "the template cannot be opened";
    } else if (!LockDescriptor(handle.fd(), /*exclusive=*/true)) {
      result.outcome = RecoveryResult::Outcome::kLeftAlone;
      result.problem = "the template is locked";
    } else {
      result = FinishCopyBack(handle, directory);
      result.template_path = path;
    }
    if (result.outcome != RecoveryResult::Outcome::kNone || !templates.empty()) {
      results.push_back(result);
    }
  }
  return results;
}

}  // namespace zrtmask
