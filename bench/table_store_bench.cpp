// A table set assembled from the memory-mapped table store (what a decode does once per
// table selection), beside loading the same tables from ecCodes's text files.
#include <string>

#include <benchmark/benchmark.h>

#include "tables/table_selection.hpp"
#include "tables/table_store.hpp"

namespace {

// (master version, local version, centre): WMO alone, and ECMWF's local tables over them.
quorvex::TableKey key_of(const benchmark::State& state) {
  const auto local = static_cast<std::uint8_t>(state.range(1));
  return {0, static_cast<std::uint8_t>(state.range(0)), local, static_cast<std::uint16_t>(local ? 98 : 0), 0};
}

void BM_StoreTableSet(benchmark::State& state) {
  auto store = quorvex::TableStore::open(QUORVEX_TABLE_STORE);
  if (!store) {
    state.SkipWithError(store.error().message().c_str());
    return;
  }
  const quorvex::TableKey key = key_of(state);
  for (auto _ : state) {
    auto tables = (*store)->table_set(key);
    if (!tables) state.SkipWithError(tables.error().message().c_str());
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_StoreTableSet)->Args({45, 0})->Args({13, 0})->Args({13, 1})->Unit(benchmark::kMicrosecond);

void BM_StoreOpen(benchmark::State& state) {
  for (auto _ : state) {
    auto store = quorvex::TableStore::open(QUORVEX_TABLE_STORE);
    if (!store) state.SkipWithError(store.error().message().c_str());
    benchmark::DoNotOptimize(store);
  }
}
BENCHMARK(BM_StoreOpen)->Unit(benchmark::kMicrosecond);

void BM_TextTableSet(benchmark::State& state) {
  quorvex::BufrMessage m;
  const quorvex::TableKey key = key_of(state);
  m.master_tables_version_number = key.master_version;
  m.local_tables_version_number = key.local_version;
  m.originating_centre = key.centre;
  const std::string root = std::string(QUORVEX_TABLE_SOURCES) + "/definitions";
  for (auto _ : state) {
    auto tables = quorvex::select_definitions_tables(root, m, quorvex::TableRows::AsEccodes);
    if (!tables) state.SkipWithError(tables.error().message().c_str());
    benchmark::DoNotOptimize(tables);
  }
}
BENCHMARK(BM_TextTableSet)->Args({45, 0})->Args({13, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
