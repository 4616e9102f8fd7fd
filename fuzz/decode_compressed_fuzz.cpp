// libFuzzer target: the compressed data decoder over real descriptor lists and data, mutated,
// against real WMO tables.
#include "fuzz_decode.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quorvex::fuzz::reference_tables();  // loaded once, before the first run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_decode_compressed(data, size);
  return 0;
}
