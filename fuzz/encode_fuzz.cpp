// libFuzzer target: the writers, uncompressed and compressed, over real descriptor lists and
// random values (widths at their limits, every kind of double, long texts).
#include "fuzz_encode.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quorvex::fuzz::reference_tables();  // loaded once, before the first run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_encode(data, size);
  return 0;
}
