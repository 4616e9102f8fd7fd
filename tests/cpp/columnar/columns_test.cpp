// The columnar decoder on real files: the same batch on any number of threads (run under
// ThreadSanitizer by `make test-tsan`), and the table choice with its bounded cache.
#include "columnar/columns.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

template <class T>
bool same(const Buffer<T>& a, const Buffer<T>& b, std::size_t n) {
  return n == 0 || std::memcmp(a.data(), b.data(), n * sizeof(T)) == 0;
}

bool same_bits(const Bitmap& a, const Bitmap& b, std::size_t rows) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (((a.bits[r >> 3] ^ b.bits[r >> 3]) >> (r & 7)) & 1) return false;
  }
  return a.null_count == b.null_count;
}

class ColumnarThreadsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ColumnarThreadsTest, EveryThreadCountGivesTheSameBatch) {
  const std::string root = testing::corpus_root();
  const std::string definitions = testing::definitions_root();
  if (root.empty() || definitions.empty()) GTEST_SKIP() << "no corpus or definitions";
  const std::vector<std::uint8_t> data = read_file(root + GetParam());
  const Bytes file(data.data(), data.size());
  const std::vector<MessageRef> refs = whole_messages(file, 256 << 10);
  TableChooser chooser(definitions, std::nullopt, nullptr);
  const Bytes sources[] = {file};
  const ColumnarOutput one = decode_columns(sources, refs, chooser, {1, true, false});
  ASSERT_GT(one.batch->rows, 0);
  for (unsigned threads : {2u, 3u, 8u}) {
    const ColumnarOutput many = decode_columns(sources, refs, chooser, {threads, true, false});
    const ColumnBatch &a = *one.batch, &b = *many.batch;
    const auto n = static_cast<std::size_t>(a.rows);
    ASSERT_EQ(a.rows, b.rows);
    EXPECT_TRUE(same(a.message, b.message, n) && same(a.subset, b.subset, n) &&
                same(a.descriptor, b.descriptor, n));
    EXPECT_TRUE(same(a.name, b.name, n) && same(a.key, b.key, n) &&
                same(a.text.offsets, b.text.offsets, n + 1));
    EXPECT_TRUE(same(a.text.data, b.text.data, static_cast<std::size_t>(a.text.offsets[n])));
    EXPECT_EQ(a.names.values, b.names.values);
    EXPECT_EQ(a.meanings.values, b.meanings.values);
    for (auto [x, y] : {std::pair{&a.unit_valid, &b.unit_valid},
                        {&a.value_valid, &b.value_valid},
                        {&a.text_valid, &b.text_valid},
                        {&a.raw_valid, &b.raw_valid},
                        {&a.meaning_valid, &b.meaning_valid},
                        {&a.key_valid, &b.key_valid}}) {
      EXPECT_TRUE(same_bits(*x, *y, n)) << threads << " threads";
    }
    // Values and raws only where present: absent ones are zero in both, but compare all.
    EXPECT_TRUE(same(a.value, b.value, n) && same(a.raw, b.raw, n) && same(a.meaning, b.meaning, n));
    EXPECT_EQ(one.bad.size(), many.bad.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, ColumnarThreadsTest,
                         ::testing::Values("bench/mixed_ed4.bufr", "bench/satellite_compressed_ed4.bufr",
                                           "raw/pybufrkit/multi_invalid_messages.bufr"));

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
