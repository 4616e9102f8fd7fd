// Throughput of the compressed-data decoder: real satellite messages (tables chosen from the
// installed ecCodes definitions, loaded before timing) and a synthetic wide message.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

#include "bitstream/bit_reader.hpp"
#include "decode/compressed.hpp"
#include "decode/decode.hpp"
#include "message/message.hpp"
#include "tables/table_selection.hpp"

namespace quorvex {
namespace {

constexpr const char* kCorpusFile = "/work/shared/corpus/bench/satellite_compressed_ed4.bufr";
constexpr const char* kDefinitions = "/usr/share/eccodes/definitions";

struct Message {
  BufrMessage record;
  Bytes data;  // section 4 data
  const TableSet* tables = nullptr;
};

// The messages of the benchmark file, each with its tables (one load per table choice).
struct Corpus {
  std::vector<std::uint8_t> octets;
  std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<TableSet>> tables;
  std::vector<Message> messages;
  std::string error;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    std::ifstream in(kCorpusFile, std::ios::binary);
    c.octets.assign(std::istreambuf_iterator<char>(in), {});
    const Bytes all(c.octets);
    auto views = scan_messages(all);
    if (!views) {
      c.error = views.error().message();
      return c;
    }
    for (const MessageView& view : *views) {
      const Bytes octets = all.subspan(view.offset, view.length);
      auto m = parse_message(octets);
      if (!m || !m->compressed_data) continue;
      const auto key = std::make_tuple(m->master_table_number,
                                       m->master_tables_version_number,
                                       m->local_tables_version_number,
                                       m->originating_centre,
                                       m->originating_subcentre);
      auto& slot = c.tables[key];
      if (!slot) {
        auto t = select_definitions_tables(kDefinitions, *m);
        if (!t) continue;
        slot = std::make_unique<TableSet>(std::move(*t));
      }
      c.messages.push_back({*m, section4_data(octets, *m), slot.get()});
    }
    if (c.messages.empty()) c.error = "no compressed message could be prepared";
    return c;
  }();
  return c;
}

void BM_CompressedCorpus(benchmark::State& state) {
  const Corpus& c = corpus();
  if (!c.error.empty()) {
    state.SkipWithError(c.error.c_str());
    return;
  }
  std::uint64_t values = 0;
  std::uint64_t octets = 0;
  for (auto _ : state) {
    values = 0;
    octets = 0;
    for (const Message& m : c.messages) {
      auto r = decode_data_section(m.record, *m.tables, m.data);
      if (r) values += r->values.size();
      octets += m.data.size();
      benchmark::DoNotOptimize(r);
    }
  }
  state.counters["messages"] = static_cast<double>(c.messages.size());
  state.counters["values/s"] =
      benchmark::Counter(static_cast<double>(values), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(octets * state.iterations()));
}
BENCHMARK(BM_CompressedCorpus)->Unit(benchmark::kMillisecond);

// One message of N subsets and 300 numeric columns of 16 bits, each with 9-bit increments
// (every third column constant), read against a one-element table.
struct Synthetic {
  TableSet tables;
  std::vector<std::uint32_t> codes;
  std::vector<std::uint8_t> data;
};

Synthetic synthetic(std::uint16_t subsets) {
  Synthetic s;
  s.tables.insert_element(ElementDefinition{.code = 12101,
                                            .abbreviation = "airTemperature",
                                            .element_type = "long",
                                            .name = "Air temperature",
                                            .unit = "K",
                                            .scale = 2,
                                            .reference = 0,
                                            .width = 16});
  std::uint64_t acc = 0;
  unsigned bits = 0;
  auto put = [&](std::uint64_t v, unsigned width) {
    for (unsigned k = width; k-- > 0;) {
      acc = (acc << 1) | ((v >> k) & 1);
      if (++bits == 8) {
        s.data.push_back(static_cast<std::uint8_t>(acc));
        acc = 0;
        bits = 0;
      }
    }
  };
  for (int c = 0; c < 300; ++c) {
    s.codes.push_back(12101);
    put(27000 + c, 16);
    const unsigned nbinc = c % 3 == 0 ? 0 : 9;
    put(nbinc, 6);
    for (unsigned k = 0; nbinc != 0 && k < subsets; ++k) put((k * 37 + c) % 511, nbinc);
  }
  put(0, 7);
  return s;
}

void BM_CompressedSynthetic(benchmark::State& state) {
  const auto subsets = static_cast<std::uint16_t>(state.range(0));
  const Synthetic s = synthetic(subsets);
  for (auto _ : state) {
    BitReader reader{Bytes(s.data)};
    DecodeResult out;
    const Status st = decode_compressed(s.codes, s.tables, reader, subsets, out);
    if (!st) state.SkipWithError("synthetic message failed to decode");
    benchmark::DoNotOptimize(out);
  }
  state.counters["values/s"] =
      benchmark::Counter(static_cast<double>(subsets) * 300, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CompressedSynthetic)->Arg(120)->Arg(2048)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvex
