// The writers against the decoders: random section-4 bits that decode are decoded, written
// again (as raw bits and as numbers, compressed and not) and decoded again to the same
// values; values the format cannot hold are refused with the key, the row and the value.
#include "encode/data_writer.hpp"

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../decode/decode_fixture.hpp"
#include "bitstream/bit_reader.hpp"
#include "decode/compressed.hpp"
#include "decode/uncompressed.hpp"
#include "encode/bit_writer.hpp"
#include "encode/reencode.hpp"

namespace quorvex {
namespace {

using testing::test_tables;

// What a reader of the values sees: the raw bits count only where there is a value (a missing
// value of compressed data keeps its column's minimum as raw).
std::string view_of(const DecodeResult& r) {
  std::string out;
  for (const DecodedValue& v : r.values) {
    out += std::to_string(v.descriptor) + ":" + std::to_string(static_cast<int>(v.role)) + ":";
    if (v.has_text()) out += "'" + r.texts[v.text_index] + "'";
    if (v.has_raw() && v.has_value())
      out += std::to_string(std::bit_cast<std::uint64_t>(v.raw_value)) + "/" + std::to_string(v.raw);
    out += v.has_value() ? " " : "- ";
  }
  return out;
}

Result<DecodeResult> decode(std::span<const std::uint32_t> codes, const TableSet& tables, Bytes data,
                            std::uint16_t subsets, bool compressed) {
  DecodeResult out;
  BitReader reader(data);
  if (compressed) {
    QV_CHECK(decode_compressed(codes, tables, reader, subsets, out));
  } else {
    QV_CHECK(decode_uncompressed(codes, tables, reader, subsets, out));
  }
  return out;
}

// The decoded values as numbers in their unit rather than raw bits.
DecodedFields as_numbers(const DecodeResult& decoded) {
  DecodedFields fields;
  fields_of(decoded, fields);
  std::size_t k = 0, s = 0;
  auto reference = decoded.new_references.begin();  // each a field before the values after it
  for (std::size_t i = 0; i < decoded.values.size(); ++i) {
    while (s + 1 < decoded.subset_starts.size() && decoded.subset_starts[s + 1] <= i) ++s;
    for (; reference != decoded.new_references.end() &&
           (reference->subset < s || (reference->subset == s && reference->before <= i));
         ++reference)
      ++k;
    const DecodedValue& v = decoded.values[i];
    if (v.role == ValueRole::Operator) continue;
    if (v.has_raw() && v.has_value() && v.role != ValueRole::AssociatedField)
      fields.values[k] = FieldValue::of_number(v.raw_value);
    ++k;
  }
  return fields;
}

struct Template {
  const char* name;
  std::vector<std::uint32_t> codes;
  std::size_t max_octets = 60;  // of the random data: enough for the replications to fit
  bool compressible = true;     // false: compressed data cannot hold its operators
};

void PrintTo(const Template& t, std::ostream* os) { *os << t.name; }

class WriterRoundTrip : public ::testing::TestWithParam<Template> {};

// Random bits decoded as uncompressed data, written again uncompressed (raw and numbers) and
// compressed (when the subsets agree in structure): the same values each time.
TEST_P(WriterRoundTrip, RandomDataWrittenAgainDecodesTheSame) {
  const TableSet tables = test_tables();
  const std::vector<std::uint32_t>& codes = GetParam().codes;
  std::mt19937_64 random(20261208);
  int decoded_ok = 0, compressed_ok = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const auto subsets = static_cast<std::uint16_t>(1 + random() % 3);
    std::vector<std::uint8_t> bits(4 + random() % GetParam().max_octets);
    for (auto& b : bits) b = static_cast<std::uint8_t>(random());
    const Result<DecodeResult> original = decode(codes, tables, bits, subsets, false);
    if (!original) continue;
    ++decoded_ok;
    const std::string expected = view_of(*original);
    DecodedFields raw;
    fields_of(*original, raw);
    for (const DecodedFields& fields : {raw, as_numbers(*original)}) {
      const auto written = write_data_section(codes, tables, fields.view(), {.compressed = false});
      ASSERT_TRUE(written) << written.error().message();
      const auto again = decode(codes, tables, *written, subsets, false);
      ASSERT_TRUE(again) << again.error().message();
      EXPECT_EQ(view_of(*again), expected) << "trial " << trial;
    }
    const auto compressed = write_data_section(codes, tables, raw.view(), {.compressed = true});
    if (!compressed) {
      // Subsets whose replications or bitmaps differ cannot share one layout; nothing else is
      // refused.
      const std::string& why = compressed.error().message();
      EXPECT_TRUE(why.find("one replication count") != std::string::npos ||
                  why.find("one bitmap") != std::string::npos ||
                  (!GetParam().compressible && why.find("new reference values") != std::string::npos))
          << why;
      continue;
    }
    ++compressed_ok;
    const auto again = decode(codes, tables, *compressed, subsets, true);
    ASSERT_TRUE(again) << again.error().message();
    // Compressed data number every subset's values alike; the views compare values only.
    EXPECT_EQ(view_of(*again), expected) << "trial " << trial << " compressed";
  }
  EXPECT_GT(decoded_ok, 20);
  EXPECT_GT(compressed_ok, GetParam().compressible ? 10 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, WriterRoundTrip,
    ::testing::Values(
        Template{"plain", {1001, 1002, 1015, 2001, 12101, 12102}},
        Template{"delayed", {1001, 101000, 31001, 12102, 102000, 31001, 1015, 12101}, 6000},
        Template{"width_scale", {201130, 202129, 12101, 201000, 202000, 12102}},
        Template{"reference_multiplier", {207002, 12102, 207000, 12101}},
        Template{"associated", {204006, 31021, 12101, 1015, 204000, 12102}},
        Template{"text_width", {208010, 1015, 208000, 205004, 1001}},
        Template{"local_width", {206010, 12101, 12102}},
        Template{"quality_bitmap", {12101, 12102, 222000, 236000, 101002, 31031, 101002, 33007}},
        Template{"substituted",
                 {12101, 12102, 223000, 237000, 223255, 224000, 236000, 101002, 31031, 8023, 224255}},
        // New references (2-03) for the second element, defined in every subset; no values of
        // their own, written back from their bits or from the numbers read with them.
        Template{"new_reference", {12101, 203014, 12101, 203255, 12101, 203000, 12101}, 60, false}));

struct Refusal {
  const char* name;
  std::vector<std::uint32_t> codes;
  std::vector<std::vector<FieldValue>> subsets;
  bool compressed;
  const char* message;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class WriterRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WriterRefusal, NamesKeyRowAndValue) {
  const TableSet tables = test_tables();
  const Refusal& r = GetParam();
  std::vector<FieldValue> values;
  std::vector<std::size_t> starts;
  for (const auto& s : r.subsets) {
    starts.push_back(values.size());
    values.insert(values.end(), s.begin(), s.end());
  }
  const auto written =
      write_data_section(r.codes, tables, {values, starts}, {.compressed = r.compressed, .first_row = 10});
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), ErrorKind::Unencodable);
  EXPECT_EQ(written.error().message(), r.message);
}

using V = FieldValue;
INSTANTIATE_TEST_SUITE_P(
    Cases, WriterRefusal,
    ::testing::Values(
        Refusal{
            "above_width",
            {12102},
            {{V::of_number(450.0)}},
            false,
            "wetBulbTemperature (012102), row 10: value 450 gives the field value 4540 (scale 1, reference "
            "-40), outside 0..4094 that 12 bits hold"},
        Refusal{
            "below_reference",
            {12102},
            {{V::of_number(-4.5)}},
            true,
            "wetBulbTemperature (012102), row 10: value -4.5 gives the field value -5 (scale 1, reference "
            "-40), outside 0..4094 that 12 bits hold"},
        Refusal{"raw_too_wide",
                {1001},
                {{V::of_raw(128)}},
                false,
                "blockNumber (001001), row 10: raw field value 128 does not fit in 7 bits"},
        Refusal{"raw_all_ones",
                {1001},
                {{V::of_raw(127)}},
                false,
                "blockNumber (001001), row 10: raw field value 127 has all its bits set: it would read as "
                "missing"},
        Refusal{"text_too_long",
                {1015},
                {{V::of_text("ABCD")}},
                false,
                "stationOrSiteName (001015), row 10: text \"ABCD\" is 4 octets long; the field holds 3"},
        Refusal{"text_for_number",
                {1001},
                {{V::of_text("7")}},
                false,
                "blockNumber (001001), row 10: text \"7\" given for a number"},
        Refusal{"number_for_text",
                {1015},
                {{V::missing()}, {V::of_number(1)}},
                true,
                "stationOrSiteName (001015), row 11: value 1 given for a text"},
        Refusal{"missing_factor",
                {101000, 31001, 1001},
                {{V::missing()}},
                false,
                "delayedDescriptorReplicationFactor (031001), row 10: a missing value where the field has no "
                "missing value"},
        Refusal{"too_few",
                {101000, 31001, 1001},
                {{V::of_number(2), V::of_number(1)}},
                false,
                "blockNumber (001001), row 10: the descriptors ask for more than the 2 values given (a "
                "replication count contradicted by the data?)"},
        Refusal{
            "too_many",
            {101000, 31001, 1001},
            {{V::of_number(1), V::of_number(1), V::of_number(2)}},
            false,
            "row 10: 3 values given, the descriptors take 2 (a replication count contradicted by the data?)"},
        Refusal{
            "varying_factor",
            {101000, 31001, 1001},
            {{V::of_number(1), V::of_number(5)}, {V::of_number(2), V::of_number(5), V::of_number(6)}},
            true,
            "delayedDescriptorReplicationFactor (031001), row 11: value 2 differs from row 10's: compressed "
            "data hold one replication count for all subsets"}));

// The writer's bits read back by the reader at every width, across octet boundaries.
TEST(BitWriterTest, EveryWidthReadsBack) {
  std::mt19937_64 random(7);
  BitWriter out;
  std::vector<std::pair<std::uint64_t, unsigned>> fields;
  for (unsigned width = 0; width <= 64; ++width) {
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t value = width == 64 ? random() : random() & ((std::uint64_t{1} << width) - 1);
      out.write_bits(value, width);
      fields.emplace_back(value, width);
    }
  }
  out.write_text("AB", 20, ' ');
  const std::uint64_t bits = out.bits();
  const std::vector<std::uint8_t> octets = out.take();
  ASSERT_EQ(octets.size(), (bits + 7) / 8);
  BitReader reader(octets);
  for (const auto& [value, width] : fields) {
    const auto read = reader.read_bits(static_cast<std::uint16_t>(width));
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, value) << "width " << width;
  }
  EXPECT_EQ(reader.read_bytes(20).value(), std::string("AB ").substr(0, 2) + std::string(1, ' ' & 0xF0));
}

}  // namespace
}  // namespace quorvex
