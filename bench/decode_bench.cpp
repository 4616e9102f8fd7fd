// Throughput of the data-section decoder alone (no Python): every message of a corpus
// benchmark file, tables chosen from the ecCodes definitions root and loaded beforehand.
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

#include "decode/decode.hpp"
#include "tables/table_selection.hpp"

namespace quorvex {
namespace {

constexpr const char* kCorpus = "/work/shared/corpus/bench/";
constexpr const char* kDefinitions = "/usr/share/eccodes/definitions";

struct Prepared {
  std::vector<std::uint8_t> octets;
  struct Item {
    BufrMessage message;
    Bytes data;
    const TableSet* tables;
  };
  std::vector<Item> items;
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  std::string error;
};

// Reads, scans and parses the file and loads each set of tables once.
std::unique_ptr<Prepared> prepare(const std::string& name) {
  auto p = std::make_unique<Prepared>();
  std::ifstream in(kCorpus + name, std::ios::binary);
  p->octets.assign(std::istreambuf_iterator<char>(in), {});
  auto views = scan_messages(p->octets);
  if (!views) {
    p->error = views.error().message();
    return p;
  }
  for (const auto& v : *views) {
    Bytes octets(p->octets.data() + v.offset, v.length);
    auto m = parse_message(octets);
    if (!m) continue;
    const auto key = std::make_tuple(m->master_table_number,
                                     m->master_tables_version_number,
                                     m->local_tables_version_number,
                                     m->originating_centre,
                                     m->originating_subcentre);
    auto it = p->tables.find(key);
    if (it == p->tables.end()) {
      auto t = select_definitions_tables(kDefinitions, *m);
      if (!t) continue;
      it = p->tables.emplace(key, std::make_unique<TableSet>(std::move(*t))).first;
    }
    const Bytes data = section4_data(octets, *m);
    p->items.push_back({std::move(*m), data, it->second.get()});
  }
  return p;
}

void BM_DecodeFile(benchmark::State& state, const std::string& name) {
  static std::map<std::string, std::unique_ptr<Prepared>> cache;
  auto& p = cache[name];
  if (!p) p = prepare(name);
  if (p->items.empty()) {
    state.SkipWithError(("no messages prepared: " + p->error).c_str());
    return;
  }
  std::uint64_t values = 0;
  std::uint64_t failures = 0;
  for (auto _ : state) {
    for (const auto& item : p->items) {
      auto r = decode_data_section(item.message, *item.tables, item.data);
      if (r) {
        values += r->values.size();
        benchmark::DoNotOptimize(r->values.data());
      } else {
        ++failures;
      }
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(values));
  state.SetBytesProcessed(static_cast<std::int64_t>(p->octets.size() * state.iterations()));
  state.counters["messages"] = static_cast<double>(p->items.size());
  state.counters["failures"] = static_cast<double>(failures) / static_cast<double>(state.iterations());
}

BENCHMARK_CAPTURE(BM_DecodeFile, synop, std::string("synop_ed4.bufr"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeFile, temp, std::string("temp_ed4.bufr"))->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvex
