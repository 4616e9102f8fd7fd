#include "decode/decode.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "../corpus_location.hpp"
#include "decode/decode_state.hpp"
#include "decode/walk.hpp"
#include "decode_fixture.hpp"
#include "tables/table_selection.hpp"

namespace quorvex {
namespace {

using Octets = std::vector<std::uint8_t>;

Octets read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Octets(std::istreambuf_iterator<char>(in), {});
}

// One message of a corpus file with the tables its header names.
struct RealMessage {
  Octets file;
  Bytes octets;
  BufrMessage message;
  TableSet tables;
};

std::unique_ptr<RealMessage> load_message(const std::string& relative, std::size_t index) {
  const std::string path = testing::corpus_root() + relative;
  const std::string definitions = testing::definitions_root();
  if (!std::filesystem::exists(path) || definitions.empty()) return nullptr;
  auto m = std::make_unique<RealMessage>();
  m->file = read_file(path);
  auto views = scan_messages(m->file);
  if (!views || views->size() <= index) return nullptr;
  m->octets = Bytes(m->file.data() + (*views)[index].offset, (*views)[index].length);
  auto parsed = parse_message(m->octets);
  if (!parsed) return nullptr;
  m->message = std::move(*parsed);
  auto tables = select_definitions_tables(definitions, m->message);
  if (!tables) return nullptr;
  m->tables = std::move(*tables);
  return m;
}

Result<DecodeResult> decode(const RealMessage& m) {
  return decode_data_section(m.message, m.tables, section4_data(m.octets, m.message));
}

const DecodedValue* first_of(const DecodeResult& r, std::uint32_t code) {
  for (const auto& v : r.values) {
    if (v.descriptor == code) return &v;
  }
  return nullptr;
}

// Expected figures are ecCodes 2.28's decoding of the same messages.
TEST(RealDataTest, TempWithQualityBitmap) {
  auto m = load_message("derived4/pdbufr/temp_small.bufr", 0);
  if (!m) GTEST_SKIP() << "corpus or definitions not installed";
  auto r = decode(*m);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->values.size(), 530u);
  EXPECT_EQ(r->values[0].descriptor, 1001u);
  EXPECT_EQ(r->values[0].raw_value, 71.0);
  EXPECT_EQ(r->values[1].raw_value, 907.0);
  EXPECT_EQ(first_of(*r, 5001)->raw_value, 58.47);
  EXPECT_EQ(first_of(*r, 12101), nullptr);
  EXPECT_EQ(first_of(*r, 12001)->raw_value, 258.3);
  EXPECT_EQ(first_of(*r, 222000)->raw_value, 0.0);
}

// Substituted values (2-23-000) after a quality block refer to the sounding data, as
// ecCodes reads them: the first is a geopotential of 100.
TEST(RealDataTest, TempSubstitutedValuesAfterQualityBlock) {
  auto m = load_message("derived4/pdbufr/temp_small.bufr", 5);
  if (!m) GTEST_SKIP() << "corpus or definitions not installed";
  auto r = decode(*m);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->values.size(), 1989u);
  const auto& v = r->values;
  std::size_t op = 0;
  while (op < v.size() && v[op].descriptor != 223000) ++op;
  ASSERT_LT(op, v.size());
  // 2-23-000, factor, bitmap, centre, application, then the substituted values.
  std::size_t k = op + 1;
  EXPECT_EQ(v[k].descriptor, 31002u);
  const auto bitmap = static_cast<std::size_t>(v[k].raw_value);
  k += 1 + bitmap + 2;
  ASSERT_LT(k + 1, v.size());
  EXPECT_EQ(v[k].descriptor, 31002u);
  EXPECT_EQ(v[k + 1].descriptor, 10003u);
  EXPECT_EQ(v[k + 1].raw_value, 100.0);
  EXPECT_EQ(v[k + 2].raw_value, 380.0);
  EXPECT_EQ(v.size(), k + 1 + static_cast<std::size_t>(v[k].raw_value));
}

TEST(RealDataTest, SynopWithText) {
  auto m = load_message("raw/bufrValidationDashboard/boom.bufr", 0);
  if (!m) GTEST_SKIP() << "corpus or definitions not installed";
  auto r = decode(*m);
  ASSERT_TRUE(r) << r.error().message();
  std::size_t texts = 0;
  for (const auto& v : r->values) texts += v.has_text() ? 1 : 0;
  EXPECT_GE(texts, 1u);
  EXPECT_EQ(r->texts.size(), texts);
}

// Damaged copies of real messages (bits of section 4 flipped, the section cut short,
// descriptors replaced) decode to a result or to an error, never past the budget.
class MutationTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MutationTest, DamagedMessagesFailCleanly) {
  auto m = load_message(GetParam(), 0);
  if (!m) GTEST_SKIP() << "corpus or definitions not installed";
  const Bytes clean = section4_data(m->octets, m->message);
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    Octets data(clean.begin(), clean.end());
    BufrMessage message = m->message;
    switch (round % 4) {
      case 0:
        for (int k = 0; k < 4 && !data.empty(); ++k) data[rng() % data.size()] ^= 1u << (rng() % 8);
        break;
      case 1:
        data.resize(rng() % (data.size() + 1));
        break;
      case 2: {
        auto& codes = message.unexpanded_descriptors;
        if (!codes.empty()) codes[rng() % codes.size()] = rng() % 400000;
        break;
      }
      default:
        message.number_of_subsets = static_cast<std::uint16_t>(rng());
        break;
    }
    auto r = decode_data_section(message, m->tables, data);
    if (r) {
      EXPECT_LE(r->values.size(), data.size() * 8 + WorkLimits::kValueAllowance);
    } else {
      EXPECT_FALSE(r.error().message().empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, MutationTest,
                         ::testing::Values("derived4/pdbufr/temp_small.bufr",
                                           "derived4/pdbufr/synop_radiation.bufr",
                                           "raw/bufrValidationDashboard/boom.bufr"));

// A few octets that ask for an endless amount of work end on the budget quickly.
TEST(HostileTest, DelayedReplicationOverNothing) {
  TableSet tables = testing::test_tables();
  tables.insert_element(testing::element(31098, "wideFactor", "Numeric", 0, 0, 32));
  BufrMessage message;
  message.number_of_subsets = 65535;
  message.unexpanded_descriptors = {102000, 31098, 206000, 1001};  // 2^32 - 1 values of 0 bits
  const Octets data(8, 0xFF);
  auto r = decode_data_section(message, tables, data);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "decoded value count exceeds the limit for the size of section 4");
}

}  // namespace
}  // namespace quorvex
