// The row collector on real files: the same rows on any number of threads (run under
// ThreadSanitizer by `make test-tsan`), and filters that drop exactly the rows they fail.
#include "columnar/rows.hpp"

#include <bit>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One row as a consumer sees it: numbers by their bits, texts as strings, missing as empty.
struct Row {
  std::int64_t message;
  std::int32_t subset;
  std::vector<std::optional<std::string>> values;
  bool operator==(const Row&) const = default;
};

bool present(const Bitmap& m, std::size_t row) { return ((m.bits[row >> 3] >> (row & 7)) & 1) != 0; }

std::optional<std::string> cell(const RowColumn& c, std::size_t r) {
  if (!present(c.valid, r)) return std::nullopt;
  switch (c.type) {
    case RowColumn::Type::Int:
      return std::to_string(c.ints[r]);
    case RowColumn::Type::Double:
      return std::to_string(std::bit_cast<std::uint64_t>(c.doubles[r]));
    case RowColumn::Type::Text:
      return std::string(c.text.data.data() + c.text.offsets[r],
                         static_cast<std::size_t>(c.text.offsets[r + 1] - c.text.offsets[r]));
  }
  return std::nullopt;
}

std::vector<Row> rows_of(const RowOutput& out) {
  std::vector<Row> rows;
  for (const auto& batch : out.batches) {
    for (std::size_t r = 0; r < static_cast<std::size_t>(batch->rows); ++r) {
      Row row{batch->message[r], batch->subset[r], {}};
      for (const RowColumn& c : batch->keys) row.values.push_back(cell(c, r));
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

double number(const std::string& cell, RowColumn::Type type) {
  return type == RowColumn::Type::Int ? static_cast<double>(std::stoll(cell))
                                      : std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(cell)));
}

struct RowCase {
  const char* file;
  std::size_t octets;  // of the file's start
  std::vector<std::string> keys;
  RowFilter filter;  // on keys[filter.key]
};

class RowsThreadsTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowsThreadsTest, EveryThreadCountGivesTheSameRowsAndFiltersDropOnlyWhatFails) {
  const std::string root = testing::corpus_root();
  const std::string definitions = testing::definitions_root();
  if (root.empty() || definitions.empty()) GTEST_SKIP() << "no corpus or definitions";
  const std::vector<std::uint8_t> data = read_file(root + GetParam().file);
  const Bytes file(data.data(), std::min(data.size(), GetParam().octets));
  std::vector<MessageRef> refs;
  for (const FoundMessage& f : scan_resync(file, 0, file.size())) {
    if (f.ok) refs.push_back({0, static_cast<std::int64_t>(refs.size()), f.offset, f.length});
  }
  TableChooser chooser(TableSource::at_root(definitions));
  const Bytes sources[] = {file};
  RowOptions options;
  options.octets_per_thread = 0;  // every thread asked, however small the input
  for (const std::string& k : GetParam().keys) options.keys.push_back(RowKey::parse(k));
  const RowOutput one = collect_rows(sources, refs, chooser, options);
  const std::vector<Row> expected = rows_of(one);
  ASSERT_FALSE(expected.empty());
  for (unsigned threads : {2u, 3u, 8u}) {
    options.threads = threads;
    const RowOutput many = collect_rows(sources, refs, chooser, options);
    EXPECT_TRUE(rows_of(many) == expected) << threads << " threads";
    EXPECT_EQ(many.bad.size(), one.bad.size());
  }
  // The filter keeps the rows whose value of its key meets it, and nothing else changes.
  const RowFilter& filter = GetParam().filter;
  const RowColumn::Type type = one.batches.front()->keys[filter.key].type;
  std::vector<Row> kept;
  for (const Row& row : expected) {
    const std::optional<std::string>& v = row.values[filter.key];
    if (v && (type == RowColumn::Type::Text ? filter.matches(*v) : filter.matches(number(*v, type))))
      kept.push_back(row);
  }
  ASSERT_FALSE(kept.empty());
  ASSERT_LT(kept.size(), expected.size());
  options.filters = {filter};
  EXPECT_TRUE(rows_of(collect_rows(sources, refs, chooser, options)) == kept);
}

RowFilter range(std::size_t key, double low, double high) {
  RowFilter f;
  f.key = key;
  f.range = true;
  f.low = low;
  f.high = high;
  return f;
}

RowFilter values(std::size_t key, std::vector<double> numbers, std::vector<std::string> texts = {}) {
  RowFilter f;
  f.key = key;
  f.numbers = std::move(numbers);
  f.texts = std::move(texts);
  return f;
}

const std::vector<std::string> kProfile = {
    "blockNumber", "stationNumber", "pressure", "airTemperature", "windSpeed", "#1#pressure"};

INSTANTIATE_TEST_SUITE_P(
    Corpus, RowsThreadsTest,
    ::testing::Values(RowCase{"bench/temp_ed4.bufr", std::size_t{1} << 20, kProfile, range(2, 50000, 85000)},
                      RowCase{"bench/mixed_ed4.bufr", std::size_t{1} << 20, kProfile, values(0, {6, 10, 11})},
                      RowCase{"bench/aircraft_ed4.bufr",
                              std::size_t{1} << 20,
                              {"aircraftFlightNumber", "latitude", "longitude", "airTemperature"},
                              values(0, {}, {"EU6349", "DLH438", "AFR1234"})},
                      RowCase{"bench/satellite_compressed_ed4.bufr",
                              std::size_t{640} << 10,
                              {"latitude",
                               "longitude",
                               "tovsOrAtovsOrAvhrrInstrumentationChannelNumber",
                               "brightnessTemperature"},
                              values(2, {5, 7})}));

// Messages of several files, their templates and table selections interleaved one by one
// (each thread keeps the tables and program of its last message): every message gives the
// rows and bad messages it gives when read alone.
TEST(RowsInterleavedTest, EachMessageGivesTheRowsItGivesAlone) {
  const std::string root = testing::corpus_root();
  const std::string definitions = testing::definitions_root();
  if (root.empty() || definitions.empty()) GTEST_SKIP() << "no corpus or definitions";
  std::vector<std::vector<std::uint8_t>> files;
  std::vector<std::vector<FoundMessage>> found;
  for (const char* name : {"raw/pdbufr/perf_aircraft.bufr",
                           "raw/pdbufr/perf_synop.bufr",
                           "raw/pdbufr/temp.bufr",
                           "raw/pdbufr/compress_3.bufr",
                           "raw/pdbufr/syn_new.bufr",
                           "bench/temp_ed4.bufr"}) {
    files.push_back(read_file(root + name));
    const Bytes head(files.back().data(), std::min<std::size_t>(files.back().size(), std::size_t{96} << 10));
    found.push_back(scan_resync(head, 0, head.size()));
  }
  std::vector<Bytes> sources;
  for (const auto& f : files) sources.emplace_back(f.data(), f.size());
  std::vector<MessageRef> refs;
  for (std::size_t k = 0; refs.size() < 400; ++k) {  // one message of each file in turn
    const std::size_t before = refs.size();
    for (std::size_t s = 0; s < files.size(); ++s) {
      if (k < found[s].size() && found[s][k].ok) {
        refs.push_back({static_cast<std::uint32_t>(s),
                        static_cast<std::int64_t>(refs.size()),
                        found[s][k].offset,
                        found[s][k].length});
      }
    }
    if (refs.size() == before) break;
  }
  // A message cut short among them.
  refs.insert(refs.begin() + 7, MessageRef{0, 7, refs[0].offset, refs[0].length - 9});
  for (std::size_t i = 0; i < refs.size(); ++i) refs[i].index = static_cast<std::int64_t>(i);

  TableChooser chooser(TableSource::at_root(definitions));
  RowOptions options;
  for (const char* k : {"latitude", "longitude", "pressure", "airTemperature", "windSpeed", "#2#pressure"})
    options.keys.push_back(RowKey::parse(k));
  // Cells as numbers or texts, whatever integer or float type the column took in either call.
  const auto cells = [](const RowOutput& out) {
    std::vector<std::pair<std::int64_t, std::vector<std::optional<std::string>>>> rows;
    for (const auto& batch : out.batches) {
      for (std::size_t r = 0; r < static_cast<std::size_t>(batch->rows); ++r) {
        std::vector<std::optional<std::string>> row;
        for (const RowColumn& c : batch->keys) {
          std::optional<std::string> v = cell(c, r);
          if (v && c.type != RowColumn::Type::Text)
            v = std::to_string(std::bit_cast<std::uint64_t>(number(*v, c.type)));
          row.push_back(v);
        }
        rows.emplace_back(batch->message[r], std::move(row));
      }
    }
    return rows;
  };
  const RowOutput together = collect_rows(sources, refs, chooser, options);
  decltype(cells(together)) expected;
  std::vector<std::int64_t> bad;
  for (const MessageRef& ref : refs) {
    const RowOutput alone = collect_rows(sources, std::span(&ref, 1), chooser, options);
    for (auto& row : cells(alone)) expected.push_back(std::move(row));
    for (const BadMessage& m : alone.bad) bad.push_back(m.index);
  }
  ASSERT_GT(expected.size(), refs.size());
  EXPECT_TRUE(cells(together) == expected);
  std::vector<std::int64_t> bad_together;
  for (const BadMessage& m : together.bad) bad_together.push_back(m.index);
  EXPECT_EQ(bad_together, bad);
  EXPECT_FALSE(bad.empty());
}

}  // namespace
}  // namespace quorvex
