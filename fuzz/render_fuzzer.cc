// libFuzzer harness: the checks of CheckRender (fuzz_checks.h) on arbitrary input.
#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zrtmask::fuzz::CheckRender(data, size);
  return 0;
}
