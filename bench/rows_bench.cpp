// Keyed rows alone (no Python): the files and keys of bench/frame_bench.py (data_datetime as
// its six keys, the satellite's channel filter pushed down as read_dataframe pushes it), on
// one thread, tables chosen from the ecCodes definitions root (loaded and the templates
// compiled by a first, untimed call). The instrument for the engine's share of
// read_dataframe; its threads' time is not the benchmark's CPU time, so on a busy machine
// count instructions instead: valgrind --tool=callgrind --toggle-collect='*timed_rows*'
// build/quorvex_bench --benchmark_filter=BM_Rows/synop --benchmark_min_time=1x
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_file.hpp"
#include "columnar/rows.hpp"

namespace quorvex {
namespace {

const char* const kRaw = "/work/shared/corpus/raw/pdbufr/";
const char* const kDefinitions = "/usr/share/eccodes/definitions";

struct RowsCase {
  std::string file;
  std::vector<std::string> keys;
  std::string filter_key;  // empty: none
  double filter_value = 0;
};

RowsCase rows_case(const std::string& name) {
  const std::vector<std::string> datetime = {"year", "month", "day", "hour", "minute", "second"};
  const auto with_datetime = [&](std::vector<std::string> before, const std::vector<std::string>& after) {
    before.insert(before.end(), datetime.begin(), datetime.end());
    before.insert(before.end(), after.begin(), after.end());
    return before;
  };
  if (name == "temp") {
    return {"temp.bufr",
            {"pressure",
             "airTemperature",
             "dewpointTemperature",
             "windSpeed",
             "windDirection",
             "nonCoordinateGeopotential"},
            {},
            0};
  }
  if (name == "synop") {
    return {"perf_synop.bufr",
            with_datetime({"blockNumber", "stationNumber", "latitude", "longitude"},
                          {"nonCoordinatePressure",
                           "pressureReducedToMeanSeaLevel",
                           "airTemperatureAt2M",
                           "dewpointTemperatureAt2M",
                           "windDirectionAt10M",
                           "windSpeedAt10M"}),
            {},
            0};
  }
  if (name == "aircraft") {
    return {"perf_aircraft.bufr",
            with_datetime({"aircraftFlightNumber", "latitude", "longitude"},
                          {"airTemperature", "windDirection", "windSpeed"}),
            {},
            0};
  }
  return {"M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
          with_datetime({"satelliteIdentifier", "fieldOfViewNumber", "latitude", "longitude"},
                        {"brightnessTemperature", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber"}),
          "tovsOrAtovsOrAvhrrInstrumentationChannelNumber",
          5};
}

// The timed call, on its own so that callgrind can count it alone
// (--toggle-collect='*timed_rows*'), without the first call's loading and compiling.
[[gnu::noinline]] RowOutput timed_rows(std::span<const Bytes> sources, std::span<const MessageRef> refs,
                                       TableChooser& chooser, const RowOptions& options) {
  return collect_rows(sources, refs, chooser, options);
}

void BM_Rows(benchmark::State& state, const std::string& name) {
  const RowsCase c = rows_case(name);
  const BenchFile input(kRaw + c.file);
  const std::vector<MessageRef>& refs = input.refs;
  if (refs.empty()) {
    state.SkipWithError("no messages: is the corpus beside the checkout?");
    return;
  }
  RowOptions options;
  for (std::size_t r = 0; r < c.keys.size(); ++r) {
    options.keys.push_back(RowKey::parse(c.keys[r]));
    // as read_dataframe asks: every column, filtered keys too; a time may lack its minute and second
    if (c.keys[r] != "minute" && c.keys[r] != "second") options.required.push_back(r);
  }
  if (!c.filter_key.empty()) {
    RowFilter& f = options.filters.emplace_back();
    f.key = c.keys.size() - 1;
    f.numbers = {c.filter_value};
  }
  TableChooser chooser(TableSource::at_root(std::string(kDefinitions)));
  const Bytes sources[] = {input.octets()};
  std::int64_t rows = 0;
  for (const auto& b : collect_rows(sources, refs, chooser, options).batches) rows += b->rows;
  for (auto _ : state) {
    RowOutput out = timed_rows(sources, refs, chooser, options);
    benchmark::DoNotOptimize(out.batches.data());
  }
  state.SetItemsProcessed(rows * static_cast<std::int64_t>(state.iterations()));
  state.counters["rows"] = static_cast<double>(rows);
}

BENCHMARK_CAPTURE(BM_Rows, temp, std::string("temp"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Rows, synop, std::string("synop"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Rows, aircraft, std::string("aircraft"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Rows, satellite, std::string("satellite"))->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvex
