// libFuzzer target: files of real messages, mutated, through the columnar decoder,
// checked message by message against the per-message decoder.
#include "fuzz_columnar.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quorvex::fuzz::reference_tables();  // loaded once, before the first run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_columnar(data, size);
  return 0;
}
