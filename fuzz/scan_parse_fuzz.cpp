// libFuzzer target: message framing and the scan of a buffer.
#include "fuzz_message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvex::fuzz::run_scan_parse(data, size);
  return 0;
}
