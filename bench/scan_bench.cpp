// Framing throughput in the core alone: scan a buffer of many real messages, then parse
// every view. QUORVEX_BENCH_FILE names the buffer (default: the corpus's synop file).
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "message/message.hpp"

namespace {

const std::vector<std::uint8_t>& bench_buffer() {
  static const std::vector<std::uint8_t> buffer = [] {
    const char* env = std::getenv("QUORVEX_BENCH_FILE");
    const std::string path = env != nullptr ? env : "/work/shared/corpus/bench/synop_ed4.bufr";
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return buffer;
}

template <class F>
void run(benchmark::State& state, F&& body) {
  const auto& buffer = bench_buffer();
  if (buffer.empty()) {
    state.SkipWithError("no benchmark file (set QUORVEX_BENCH_FILE)");
    return;
  }
  const quorvex::Bytes octets(buffer.data(), buffer.size());
  std::size_t messages = 0;
  for (auto _ : state) {
    messages = body(octets);
    benchmark::DoNotOptimize(messages);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * messages));
}

void BM_ScanMessages(benchmark::State& state) {
  run(state, [](quorvex::Bytes octets) { return quorvex::scan_messages(octets)->size(); });
}

void BM_ParseAllMessages(benchmark::State& state) {
  run(state, [](quorvex::Bytes octets) { return quorvex::parse_all_messages(octets)->size(); });
}

BENCHMARK(BM_ScanMessages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAllMessages)->Unit(benchmark::kMillisecond);

}  // namespace
