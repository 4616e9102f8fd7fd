// Throughput of the data-section decoder alone (no Python): every message of a corpus
// benchmark file, tables chosen from the ecCodes definitions root and loaded beforehand;
// each file walked descriptor by descriptor, and replaying its templates' programs (compiled
// beforehand, as a cache serves them once warm).
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

#include "decode/decode.hpp"
#include "decode/template_cache.hpp"
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
    std::shared_ptr<const TemplateProgram> program;
  };
  std::vector<Item> items;
  std::map<std::tuple<int, int, int, int, int>, std::shared_ptr<const TableSet>> tables;
  TemplateCache programs;
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
      it = p->tables.emplace(key, std::make_shared<const TableSet>(std::move(*t))).first;
    }
    const Bytes data = section4_data(octets, *m);
    auto program = p->programs.get(it->second, m->unexpanded_descriptors);
    p->items.push_back({std::move(*m), data, it->second.get(), std::move(program)});
  }
  return p;
}

void BM_DecodeFile(benchmark::State& state, const std::string& name, bool replay) {
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
      auto r =
          decode_data_section(item.message, *item.tables, item.data, replay ? item.program.get() : nullptr);
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
  std::size_t programs = 0;
  for (const auto& item : p->items) programs += item.program != nullptr;
  state.counters["with_program"] = static_cast<double>(programs);
}

#define QV_DECODE_BENCH(label, file)                                                                       \
  BENCHMARK_CAPTURE(BM_DecodeFile, label##_walk, std::string(file), false)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(BM_DecodeFile, label##_program, std::string(file), true)->Unit(benchmark::kMillisecond)

QV_DECODE_BENCH(synop, "synop_ed4.bufr");
QV_DECODE_BENCH(temp, "temp_ed4.bufr");
QV_DECODE_BENCH(aircraft, "aircraft_ed4.bufr");
QV_DECODE_BENCH(satellite, "satellite_compressed_ed4.bufr");

}  // namespace
}  // namespace quorvex
