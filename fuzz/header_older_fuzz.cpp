// libFuzzer target: one message read with editions 2 and 3 allowed, checked against the
// edition-4 parser and against the section 1 layout of editions 2 and 3.
#include "fuzz_columnar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_header_older(data, size);
  return 0;
}
