// The columnar decoder on real files: the same batch on any number of threads (run under
// ThreadSanitizer by `make test-tsan`), and the table choice with its bounded cache.
#include "columnar/columns.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "../tables/temp_tree.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The whole messages in the first `octets` of a file.
std::vector<MessageRef> whole_messages(Bytes file, std::size_t octets) {
  std::vector<MessageRef> refs;
  for (const FoundMessage& f : scan_resync(file, 0, std::min(file.size(), octets))) {
    if (f.ok) refs.push_back({0, static_cast<std::int64_t>(refs.size()), f.offset, f.length});
  }
  return refs;
}

// One row as a consumer sees it: dictionary ids resolved, absent fields empty.
struct Row {
  std::int64_t message;
  std::int32_t subset;
  std::uint32_t descriptor;
  std::string name;
  std::optional<std::string> unit, key, text, meaning;
  std::optional<std::uint64_t> value_bits, raw;
  bool operator==(const Row&) const = default;
};

std::string utf8_at(const Utf8Column& c, std::size_t i) {
  return std::string(c.data.data() + c.offsets[i], static_cast<std::size_t>(c.offsets[i + 1] - c.offsets[i]));
}

bool present(const Bitmap& m, std::size_t row) { return ((m.bits[row >> 3] >> (row & 7)) & 1) != 0; }

// Every row of every batch, each batch checked for its own consistency on the way.
std::vector<Row> rows_of(const ColumnarOutput& out) {
  std::vector<Row> rows;
  EXPECT_FALSE(out.batches.empty());
  for (const auto& batch : out.batches) {
    const ColumnBatch& b = *batch;
    std::size_t absent[5] = {};
    for (std::size_t r = 0; r < static_cast<std::size_t>(b.rows); ++r) {
      Row row{b.message[r],
              b.subset[r],
              b.descriptor[r],
              b.names.values.at(static_cast<std::size_t>(b.name[r])),
              {},
              {},
              {},
              {},
              {},
              {}};
      const Bitmap* maps[] = {&b.unit_valid, &b.text_valid, &b.meaning_valid, &b.value_valid, &b.raw_valid};
      for (std::size_t k = 0; k < 5; ++k) absent[k] += present(*maps[k], r) ? 0 : 1;
      if (present(b.unit_valid, r)) row.unit = b.units.values.at(static_cast<std::size_t>(b.unit[r]));
      if (b.with_keys && present(b.key_valid, r))
        row.key = b.keys.values.at(static_cast<std::size_t>(b.key[r]));
      if (present(b.text_valid, r)) row.text = utf8_at(b.text, r);
      if (present(b.meaning_valid, r))
        row.meaning = b.meanings.values.at(static_cast<std::size_t>(b.meaning[r]));
      if (present(b.value_valid, r)) row.value_bits = std::bit_cast<std::uint64_t>(b.value[r]);
      if (present(b.raw_valid, r)) row.raw = b.raw[r];
      rows.push_back(std::move(row));
    }
    const std::int64_t counts[] = {b.unit_valid.null_count,
                                   b.text_valid.null_count,
                                   b.meaning_valid.null_count,
                                   b.value_valid.null_count,
                                   b.raw_valid.null_count};
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(static_cast<std::int64_t>(absent[k]), counts[k]);
  }
  return rows;
}

// A file and how many of its first octets to decode.
class ColumnarThreadsTest : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {};

TEST_P(ColumnarThreadsTest, EveryThreadCountAndTheWalkGiveTheSameRows) {
  const std::string root = testing::corpus_root();
  const std::string definitions = testing::definitions_root();
  if (root.empty() || definitions.empty()) GTEST_SKIP() << "no corpus or definitions";
  const std::vector<std::uint8_t> data = read_file(root + GetParam().first);
  const Bytes file(data.data(), data.size());
  const std::vector<MessageRef> refs = whole_messages(file, GetParam().second);
  TableChooser chooser(definitions, std::nullopt, nullptr);
  const Bytes sources[] = {file};
  const ColumnarOutput one = decode_columns(sources, refs, chooser, {1, true, false});
  ASSERT_EQ(one.batches.size(), 1u);
  const std::vector<Row> expected = rows_of(one);
  ASSERT_FALSE(expected.empty());
  // Walking every message's descriptors instead of replaying the compiled programs.
  const ColumnarOutput walked = decode_columns(sources, refs, chooser, {1, true, false, false});
  EXPECT_TRUE(rows_of(walked) == expected);
  for (unsigned threads : {2u, 3u, 8u}) {
    const ColumnarOutput many = decode_columns(sources, refs, chooser, {threads, true, false});
    EXPECT_TRUE(rows_of(many) == expected) << threads << " threads";
    for (const ColumnarOutput* other : {&many, &walked}) {
      ASSERT_EQ(one.bad.size(), other->bad.size());
      for (std::size_t i = 0; i < one.bad.size(); ++i) {
        EXPECT_EQ(one.bad[i].index, other->bad[i].index);
        EXPECT_EQ(one.bad[i].error.message(), other->bad[i].error.message());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, ColumnarThreadsTest,
    ::testing::Values(std::pair{"bench/mixed_ed4.bufr", std::size_t{192} << 10},
                      std::pair{"bench/satellite_compressed_ed4.bufr", std::size_t{96} << 10},
                      std::pair{"raw/pybufrkit/multi_invalid_messages.bufr", std::size_t{1} << 20}));

BufrMessage selection(std::uint8_t version, std::uint8_t local, std::uint16_t centre) {
  BufrMessage m;
  m.edition = 4;
  m.master_tables_version_number = version;
  m.local_tables_version_number = local;
  m.originating_centre = centre;
  return m;
}

// A one-element table directory under `dir`.
void write_tables(const testing::TempTree& tree, const std::string& dir, const char* name) {
  tree.write(dir + "/element.table", std::string("001001|block|long|") + name + "|Numeric|0|0|7\n");
  tree.write(dir + "/sequence.def", "");
}

TEST(TableChooserTest, RootThenBundledThenAnErrorNamingBoth) {
  testing::TempTree tree;
  write_tables(tree, "root/bufr/tables/0/wmo/30", "FROM ROOT");
  write_tables(tree, "bundled", "FROM BUNDLED");
  TableChooser both(tree.path("root"), tree.path("bundled"), nullptr);
  auto from_root = both.choose(selection(30, 0, 98));
  ASSERT_TRUE(from_root.has_value());
  EXPECT_EQ(from_root->origin, TableOrigin::Definitions);
  EXPECT_EQ(from_root->tables->find_element(1001)->name, "FROM ROOT");
  auto fallback = both.choose(selection(31, 0, 98));
  ASSERT_TRUE(fallback.has_value());
  EXPECT_EQ(fallback->origin, TableOrigin::Bundled);
  EXPECT_EQ(fallback->tables->find_element(1001)->name, "FROM BUNDLED");

  BufrMessage other_master = selection(30, 0, 98);
  other_master.master_table_number = 10;  // the bundled WMO tables are master table 0's only
  auto refused = both.choose(other_master);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message().find("master table 0 only"), std::string::npos);

  TableChooser root_only(tree.path("root"), tree.path("missing"), nullptr);
  auto none = root_only.choose(selection(31, 0, 98));
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().kind(), ErrorKind::TablesUnavailable);
  EXPECT_NE(none.error().message().find("definitions root"), std::string::npos);
  EXPECT_NE(none.error().message().find("bundled tables"), std::string::npos);
}

TEST(TableChooserTest, CacheStaysBoundedAndKeepsAnswering) {
  testing::TempTree tree;
  for (int v : {30, 31, 32, 33}) write_tables(tree, "root/bufr/tables/0/wmo/" + std::to_string(v), "X");
  TableChooser chooser(tree.path("root"), std::nullopt, nullptr, 2);
  for (int round = 0; round < 3; ++round) {
    for (std::uint8_t v : {30, 31, 32, 33}) {
      auto chosen = chooser.choose(selection(v, 0, 98));
      ASSERT_TRUE(chosen.has_value()) << int(v);
      EXPECT_LE(chooser.cached(), 2u);
    }
  }
  // Local version 0: the centre takes no part, so these share one entry.
  TableChooser shared(tree.path("root"), std::nullopt, nullptr, 8);
  auto a = shared.choose(selection(30, 0, 98));
  auto b = shared.choose(selection(30, 0, 7));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->tables.get(), b->tables.get());
  EXPECT_EQ(shared.cached(), 1u);
}

}  // namespace
}  // namespace quorvex
