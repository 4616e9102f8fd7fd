// Coverage feedback for libFuzzer when the code under test is built by GCC, which has no
// -fsanitize=fuzzer. GCC's -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc at
// every basic block; here each call counts the edge (previous block, this block) in an
// array of 8-bit counters handed to libFuzzer's runtime as one module, with a PC table
// of the same size (libFuzzer insists on one). The comparison hooks of
// -fsanitize-coverage=trace-cmp go to libFuzzer's own handlers, except the floating-point
// ones, which it does not have. This file itself must be built without coverage.
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::size_t kCounters = std::size_t{1} << 17;

// Brought into existence before main by the static constructor below.
alignas(64) std::uint8_t counters[kCounters];
struct PcEntry {
  std::uintptr_t pc;
  std::uintptr_t flags;
};
PcEntry pcs[kCounters];
thread_local std::uintptr_t previous = 0;

}  // namespace

extern "C" {
void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);
void __sanitizer_cov_pcs_init(const std::uintptr_t* start, const std::uintptr_t* stop);

__attribute__((no_sanitize_address, no_sanitize_undefined)) void __sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  // Fibonacci hashing spreads neighbouring addresses over the whole array.
  const std::uintptr_t here = (pc * 0x9E3779B97F4A7C15ull) >> (64 - 17);
  const std::size_t slot = (here ^ previous) & (kCounters - 1);
  counters[slot] = static_cast<std::uint8_t>(counters[slot] + 1);
  previous = here >> 1;
}

void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}
}

namespace {

struct Register {
  Register() {
    for (std::size_t i = 0; i < kCounters; ++i) pcs[i] = {i + 1, 0};
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
    __sanitizer_cov_pcs_init(reinterpret_cast<const std::uintptr_t*>(pcs),
                             reinterpret_cast<const std::uintptr_t*>(pcs + kCounters));
  }
} register_module;

}  // namespace
