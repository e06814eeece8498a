// Helpers shared by the fuzz harnesses: a scratch directory holding "c:/temp/", files
// as strings, and a check that aborts, so that libFuzzer records the input as a crash.
#ifndef ZRTMASK_FUZZ_FUZZ_SUPPORT_H_
#define ZRTMASK_FUZZ_FUZZ_SUPPORT_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

namespace zrtmask::fuzz {

// Aborts with what when ok is false.
inline void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  Require(!out.fail(), "the harness could not write its input file");
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Require(in.good(), "the harness could not read a file back");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Number of entries in the temporary directory.
inline int CountTempFiles() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("c:/temp", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

inline void EmptyTempDirectory() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("c:/temp", error)) {
    std::filesystem::remove_all(entry.path(), error);
  }
}

// A fresh directory under the system's temporary directory, holding "c:/temp/", made on first
// use and removed when the process exits normally.
inline const std::string& ScratchDirectory() {
  static const std::string scratch = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "zrtmask-fuzz-XXXXXX").string();
    Require(::mkdtemp(pattern.data()) != nullptr, "cannot create the scratch directory");
    Require(::mkdir((pattern + "/c:").c_str(), 0777) == 0 &&
                ::mkdir((pattern + "/c:/temp").c_str(), 0777) == 0,
            "cannot create c:/temp/ in the scratch directory");
    return pattern;
  }();
  static const bool removed_at_exit = [] {
    std::atexit([] {
      std::error_code error;
      std::filesystem::remove_all(ScratchDirectory(), error);
    });
    return true;
  }();
  static_cast<void>(removed_at_exit);
  return scratch;
}

// Makes the scratch directory the working directory for the lifetime of the object, so that
// the library's relative "c:/temp/" lands there. libFuzzer's own paths stay relative to the
// directory it was started in.
class InScratchDirectory {
 public:
  InScratchDirectory() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(ScratchDirectory());
  }
  InScratchDirectory(const InScratchDirectory&) = delete;
  InScratchDirectory& operator=(const InScratchDirectory&) = delete;
  ~InScratchDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

// text with every line feed written as CR LF.
inline std::string WithCrLf(std::string_view text) {
  std::string converted;
  converted.reserve(text.size() + text.size() / 8);
  for (char byte : text) {
    if (byte == '\n') converted += '\r';
    converted += byte;
  }
  return converted;
}

}  // namespace zrtmask::fuzz

#endif  // ZRTMASK_FUZZ_FUZZ_SUPPORT_H_
