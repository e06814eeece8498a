// Runs a fuzz harness over files, for builds without libFuzzer: each argument is a file, or a
// directory whose files are each one input. Exits nonzero when an argument cannot be read; a
// failed check inside the harness aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs(argv + 1, argv + argc);
  LLVMFuzzerInitialize(&argc, &argv);
  int failures = 0;
  std::size_t runs = 0;
  for (const std::filesystem::path& input : inputs) {
    std::error_code error;
    if (!std::filesystem::is_directory(input, error)) {
      failures += RunFile(input) ? 0 : 1;
      ++runs;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(input, error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    if (error) {
      std::fprintf(stderr, "cannot list %s\n", input.c_str());
      ++failures;
    }
    for (const std::filesystem::path& file : files) {
      failures += RunFile(file) ? 0 : 1;
      ++runs;
    }
  }
  std::printf("%zu inputs replayed\n", runs);
  return failures == 0 && runs > 0 ? 0 : 1;
}
