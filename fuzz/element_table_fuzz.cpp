// libFuzzer target: the input is read by the table loader as a table file.
#include "fuzz_tables.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_element_table(data, size);
  return 0;
}
