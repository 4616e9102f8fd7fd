// The columnar decoder alone (no Python): every message of a benchmark file into Arrow
// columns, tables chosen from the ecCodes definitions root (loaded and the templates
// compiled by a first, untimed call), on one and two threads, with and without replaying
// compiled templates. Rows per second count the rows made.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_file.hpp"
#include "columnar/columns.hpp"

namespace quorvex {
namespace {

const char* const kCorpus = "/work/shared/corpus/bench/";
const char* const kDefinitions = "/usr/share/eccodes/definitions";

void BM_Columns(benchmark::State& state, const std::string& name, unsigned threads, bool programs) {
  const BenchFile input(kCorpus + name);
  const std::vector<MessageRef>& refs = input.refs;
  if (refs.empty()) {
    state.SkipWithError("no messages: is the corpus beside the checkout?");
    return;
  }
  TableChooser chooser(TableSource::at_root(std::string(kDefinitions)));
  const Bytes sources[] = {input.octets()};
  const ColumnarOptions options{threads, false, false, programs};
  std::int64_t rows = decode_columns(sources, refs, chooser, options).rows();
  for (auto _ : state) {
    ColumnarOutput out = decode_columns(sources, refs, chooser, options);
    rows = out.rows();
    benchmark::DoNotOptimize(out.batches.data());
  }
  state.SetItemsProcessed(rows * static_cast<std::int64_t>(state.iterations()));
  state.counters["rows"] = static_cast<double>(rows);
}

#define QV_COLUMNS_BENCH(label, file)                                                                    \
  BENCHMARK_CAPTURE(BM_Columns, label##_t1, std::string(file), 1u, true)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(BM_Columns, label##_t1_walk, std::string(file), 1u, false)                           \
      ->Unit(benchmark::kMillisecond);                                                                   \
  BENCHMARK_CAPTURE(BM_Columns, label##_t2, std::string(file), 2u, true)                                 \
      ->Unit(benchmark::kMillisecond)                                                                    \
      ->UseRealTime()

QV_COLUMNS_BENCH(synop, "synop_ed4.bufr");
QV_COLUMNS_BENCH(temp, "temp_ed4.bufr");
QV_COLUMNS_BENCH(aircraft, "aircraft_ed4.bufr");
QV_COLUMNS_BENCH(satellite, "satellite_compressed_ed4.bufr");
QV_COLUMNS_BENCH(mixed, "mixed_ed4.bufr");

}  // namespace
}  // namespace quorvex
