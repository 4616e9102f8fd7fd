// Table loading (done on every decode_values call) and static expansion throughput.
#include <string>

#include <benchmark/benchmark.h>

#include "decode/expand.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/wmo_csv_loader.hpp"

namespace {

const std::string kWmo = "/usr/share/eccodes/definitions/bufr/tables/0/wmo/";

void BM_LoadEccodesDirectory(benchmark::State& state) {
  const std::string dir = kWmo + std::to_string(state.range(0));
  for (auto _ : state) {
    auto tables = quorvex::load_table_directory_new(dir);
    if (!tables) state.SkipWithError(tables.error().message().c_str());
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_LoadEccodesDirectory)->Arg(38)->Arg(13)->Unit(benchmark::kMillisecond);

void BM_LoadElementTableOnly(benchmark::State& state) {
  const std::string file = kWmo + "38/element.table";
  for (auto _ : state) {
    quorvex::TableSet tables;
    if (!quorvex::load_element_table(file, tables)) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_LoadElementTableOnly)->Unit(benchmark::kMillisecond);

void BM_LoadCodeTablesOnly(benchmark::State& state) {
  const std::string dir = kWmo + "38/codetables";
  for (auto _ : state) {
    quorvex::TableSet tables;
    if (!quorvex::load_code_table_directory(dir, tables)) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_LoadCodeTablesOnly)->Unit(benchmark::kMillisecond);

void BM_LoadWmoCsvRelease(benchmark::State& state) {
  const char* dir = "/work/shared/corpus/wmo-bufr4-csv";
  for (auto _ : state) {
    auto tables = quorvex::load_wmo_csv_directory(dir);
    if (!tables) state.SkipWithError(tables.error().message().c_str());
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_LoadWmoCsvRelease)->Unit(benchmark::kMillisecond);

// Every sequence of Table D expanded in turn (codes per second of output).
void BM_ExpandEverySequence(benchmark::State& state) {
  auto tables = quorvex::load_table_directory_new(kWmo + "38");
  if (!tables) {
    state.SkipWithError("load failed");
    return;
  }
  std::vector<std::vector<std::uint32_t>> inputs;
  for (const auto& [code, def] : tables->sequences()) inputs.push_back({code});
  std::size_t produced = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      auto out = quorvex::expand_descriptor_list(*tables, input);
      if (out) produced += out->size();
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(produced));
}
BENCHMARK(BM_ExpandEverySequence)->Unit(benchmark::kMillisecond);

// A large fixed replication: raw output speed.
void BM_ExpandLargeReplication(benchmark::State& state) {
  const quorvex::TableSet tables;
  const std::vector<std::uint32_t> input{102255, 101255, 1001};  // 65,025 codes
  for (auto _ : state) {
    auto out = quorvex::expand_descriptor_list(tables, input);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * 255 * 255);
}
BENCHMARK(BM_ExpandLargeReplication)->Unit(benchmark::kMicrosecond);

}  // namespace
