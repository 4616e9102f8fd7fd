// libFuzzer target: descriptor expansion of a list of codes against real WMO tables.
#include "fuzz_expand.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quorvex::fuzz::reference_tables();  // loaded once, before the first run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_expand(data, size);
  return 0;
}
