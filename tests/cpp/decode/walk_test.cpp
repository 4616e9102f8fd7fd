// The two decoders as consumers of one walk: a compressed message of one subset whose every
// increment width is 0 holds the same fields as the uncompressed message, each followed by
// six zero bits, and must decode to exactly the same values. The random lists mix elements,
// text, operators, replication and data-present bitmaps with the values they select. The
// walk's failures and its depth limit are checked here once, through both decoders. Every
// list is also compiled to a program, and the replayed walk must give the same records and
// the same errors as the walk itself, on whole and on cut data.
#include "decode/walk.hpp"

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "decode/compressed.hpp"
#include "decode/field.hpp"
#include "decode/template_program.hpp"
#include "decode/uncompressed.hpp"
#include "decode_fixture.hpp"

namespace quorvex {
namespace {

using testing::BitWriter;

// Random descriptor lists over the fixture's tables, and section 4 for them written twice:
// uncompressed, and compressed with one subset (R0 = the value, NBINC = 0).
class TwinWriter {
 public:
  TwinWriter(const TableSet& tables, std::uint32_t seed) : tables_(tables), rng_(seed) {}

  std::vector<std::uint32_t> list(unsigned depth) {
    std::vector<std::uint32_t> codes;
    const unsigned n = pick(1, 4);
    for (unsigned k = 0; k < n; ++k) {
      switch (pick(0, depth >= 3 ? 8 : 11)) {
        case 0:
        case 1:
        case 2:
          codes.push_back(kNumbers[pick(0, std::size(kNumbers) - 1)]);
          break;
        case 3:
          codes.push_back(1015);  // CCITT IA5, 3 octets
          break;
        case 4:
          codes.push_back(205000 + pick(1, 3));  // 2-05-YYY: Y octets of text
          break;
        case 5:
          codes.push_back(204000 + 4 * pick(0, 2));  // 2-04-YYY: associated fields of Y bits
          break;
        case 6: {  // an operator over a few elements, then cancelled
          const auto& [op, cancel] = kOperators[pick(0, std::size(kOperators) - 1)];
          codes.push_back(op);
          for (unsigned e = pick(1, 2); e > 0; --e)
            codes.push_back(kNumbers[pick(0, std::size(kNumbers) - 1)]);
          if (pick(0, 1) == 0) codes.push_back(1015);
          if (cancel != 0) codes.push_back(cancel);
          break;
        }
        case 7: {  // a bitmap after 2-22/23/24/32-000, perhaps defined by 2-36-000
          const std::uint32_t x = kBitmapOperators[pick(0, std::size(kBitmapOperators) - 1)];
          codes.push_back(200000 + x * 1000);
          if (pick(0, 1) == 0) codes.push_back(236000);
          codes.insert(codes.end(), {101000, 31001, 31031});
          if (x == 22) {  // quality information: confidences follow as ordinary elements
            codes.insert(codes.end(), {101000, 31001, 33007});
          } else {
            for (unsigned r = pick(0, 3); r > 0; --r) codes.push_back(200255 + x * 1000);
          }
          break;
        }
        case 8: {  // reuse or cancel the bitmap, then values it may select
          static constexpr std::uint32_t kAfter[] = {237000, 237255, 235000};
          codes.push_back(kAfter[pick(0, std::size(kAfter) - 1)]);
          for (unsigned r = pick(0, 2); r > 0; --r) {
            codes.push_back(200255 + kBitmapOperators[pick(1, std::size(kBitmapOperators) - 1)] * 1000);
          }
          break;
        }
        case 9:
          codes.push_back(301001);
          break;
        case 10: {  // fixed replication
          std::vector<std::uint32_t> group = list(depth + 1);
          if (group.size() > 60) {  // X has two digits: too long to replicate
            codes.insert(codes.end(), group.begin(), group.end());
            break;
          }
          codes.push_back(100000 + static_cast<std::uint32_t>(group.size()) * 1000 + pick(1, 3));
          codes.insert(codes.end(), group.begin(), group.end());
          break;
        }
        default: {  // delayed replication, 8-bit factor
          std::vector<std::uint32_t> group = list(depth + 1);
          if (group.size() > 60) {  // X has two digits: too long to replicate
            codes.insert(codes.end(), group.begin(), group.end());
            break;
          }
          codes.push_back(100000 + static_cast<std::uint32_t>(group.size()) * 1000);
          codes.push_back(31001);
          codes.insert(codes.end(), group.begin(), group.end());
          break;
        }
      }
    }
    return codes;
  }

  // Writes the fields of `codes` with random contents into both layouts.
  void write(const std::vector<std::uint32_t>& codes) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const std::uint32_t code = codes[i];
      const DescriptorParts p = split_code(code);
      if (p.f == 0) {
        // The widths in force come from the decoder's own rules: what is tested here is that
        // both layouts are read alike, not the rules.
        if (carries_associated_field(code, state_)) random_number(state_.associated_width);
        const ElementDefinition& def = *tables_.find_element(code);
        const std::optional<std::uint64_t> raw =
            field(field_format(element_params(describe_element(def, tables_), state_), state_));
        record_element(state_, def, raw ? std::optional<double>(static_cast<double>(*raw)) : std::nullopt);
        state_.local_width_active = false;
      } else if (p.f == 2) {
        const OperatorAction action = apply_operator(state_, code);
        if (action == OperatorAction::Characters) text(p.y);
        if (action == OperatorAction::BitmapRead) selected();
      } else if (p.f == 3) {
        write(tables_.find_sequence(code)->members);
      } else {
        const std::vector<std::uint32_t> group(
            codes.begin() + static_cast<std::ptrdiff_t>(i) + 1 + (p.y == 0),
            codes.begin() + static_cast<std::ptrdiff_t>(i) + 1 + (p.y == 0) + p.x);
        unsigned count = p.y;
        if (p.y == 0) {
          // A bitmap no longer than the data before it (after 2-36-000 every indicator adds
          // to the one bitmap), so that every entry selects a value.
          const bool bitmap = group.size() == 1 && group[0] == kDataPresentIndicator;
          const std::size_t taken = state_.bitmap_defining ? state_.bitmap.size() : 0;
          const std::size_t room = state_.history.size() - std::min(taken, state_.history.size());
          count = pick(0, bitmap ? static_cast<unsigned>(std::min<std::size_t>(5, room)) : 3);
          number(count, 8);
          record_factor(state_, *tables_.find_element(codes[i + 1]));
        }
        for (unsigned r = 0; r < count; ++r) write(group);
        i += p.x + (p.y == 0);
      }
    }
  }

  BitWriter uncompressed, compressed;

 private:
  // 2-25 is left out: a difference of a text element would be a field of 8n + 1 bits.
  static constexpr std::uint32_t kBitmapOperators[] = {22, 23, 24, 32};
  static constexpr std::uint32_t kNumbers[] = {1001, 1002, 2001, 8023, 12101, 12102, 20003, 33007, 1031};
  // Width, scale, reference, local width and text width operators, each with its cancel.
  static constexpr std::pair<std::uint32_t, std::uint32_t> kOperators[] = {
      {201131, 201000},
      {201126, 201000},
      {202129, 202000},
      {202126, 202000},
      {207001, 207000},
      {207002, 207000},
      {206010, 0},
      {208005, 208000},
  };

  unsigned pick(unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng_); }
  std::uint64_t random_number(unsigned width) {
    const std::uint64_t top = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    const std::uint64_t value = std::uniform_int_distribution<std::uint64_t>(0, top)(rng_);
    number(value, width);
    return value;
  }
  // One field of the given format; its raw number, none for text.
  std::optional<std::uint64_t> field(const FieldFormat& format) {
    if (format.text) {
      text(format.width / 8);
      return std::nullopt;
    }
    return random_number(format.width);
  }
  // The value the next bitmap entry selects, if any.
  void selected() {
    const auto next = next_bitmap_element(state_);
    if (!next || *next == nullptr) return;
    field(field_format(element_params(describe_element(**next, tables_), state_), state_));
  }
  void number(std::uint64_t value, unsigned width) {
    uncompressed.put(value, width);
    compressed.put(value, width).put(0, 6);
  }
  void text(unsigned octets) {
    std::string s;
    for (unsigned k = 0; k < octets; ++k) {
      // Letters, blanks, octets above 0x7F and all-ones fields (missing text).
      static constexpr char kAlphabet[] = {'A', 'z', ' ', '\t', '\x80', '\xff'};
      s += kAlphabet[pick(0, std::size(kAlphabet) - 1)];
    }
    uncompressed.text(s);
    compressed.text(s).put(0, 6);
  }

  const TableSet& tables_;
  std::mt19937 rng_;
  DecodeState state_;
};

class OneSubsetTwinTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(OneSubsetTwinTest, CompressedDecodesAsUncompressed) {
  const TableSet tables = testing::test_tables();
  TwinWriter twin(tables, GetParam());
  const std::vector<std::uint32_t> codes = twin.list(0);
  twin.write(codes);
  BitReader u_reader{twin.uncompressed.octets()};
  BitReader c_reader{twin.compressed.octets()};
  DecodeResult u, c;
  ASSERT_TRUE(decode_uncompressed(codes, tables, u_reader, 1, u));
  ASSERT_TRUE(decode_compressed(codes, tables, c_reader, 1, c));
  // The program of a sound list replays the walk, for whole data and for data cut short
  // anywhere (errors raised at the same field, with the same text).
  const std::optional<TemplateProgram> program = compile_template(tables, codes);
  ASSERT_TRUE(program.has_value());
  for (const bool compressed : {false, true}) {
    const std::vector<std::uint8_t>& whole =
        compressed ? twin.compressed.octets() : twin.uncompressed.octets();
    for (const std::size_t cut : {whole.size(), whole.size() / 2, whole.size() / 5}) {
      SCOPED_TRACE("compressed " + std::to_string(compressed) + " octets " + std::to_string(cut));
      const Bytes data(whole.data(), cut);
      DecodeResult walked, replayed;
      BitReader r1{data}, r2{data};
      const Status s1 = compressed ? decode_compressed(codes, tables, r1, 1, walked)
                                   : decode_uncompressed(codes, tables, r1, 1, walked);
      const Status s2 = compressed ? decode_compressed(codes, tables, r2, 1, replayed, &*program)
                                   : decode_uncompressed(codes, tables, r2, 1, replayed, &*program);
      EXPECT_TRUE(testing::identical(s1, walked, s2, replayed));
    }
  }
  ASSERT_EQ(u.values.size(), c.values.size());
  EXPECT_EQ(u.subset_starts, c.subset_starts);
  for (std::size_t k = 0; k < u.values.size(); ++k) {
    const DecodedValue& a = u.values[k];
    const DecodedValue& b = c.values[k];
    SCOPED_TRACE("value " + std::to_string(k) + " descriptor " + std::to_string(a.descriptor));
    EXPECT_EQ(a.descriptor, b.descriptor);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.meaning, b.meaning);
    if (a.has_raw()) {
      EXPECT_EQ(a.raw, b.raw);
    }
    if (a.has_value()) {
      EXPECT_EQ(a.raw_value, b.raw_value);
    }
    if (a.has_text() && b.has_text()) {
      EXPECT_EQ(u.texts[a.text_index], c.texts[b.text_index]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, OneSubsetTwinTest, ::testing::Range(1u, 201u));

// Runs one subset of `data` through either decoder, walking `codes` or replaying `program`.
Status decode_with(bool compressed, const std::vector<std::uint32_t>& codes, const TableSet& tables,
                   const std::vector<std::uint8_t>& data, DecodeResult& out,
                   const TemplateProgram* program = nullptr) {
  BitReader reader{Bytes(data)};
  return compressed ? decode_compressed(codes, tables, reader, 1, out, program)
                    : decode_uncompressed(codes, tables, reader, 1, out, program);
}

// The walk's own failures (and an unknown element), whichever decoder consumes it. A list
// the walk would refuse does not compile; an unknown element is the consumer's failure
// and compiles, to fail alike when replayed.
struct WalkError {
  const char* label;
  std::vector<std::uint32_t> codes;
  const char* message;
  bool compiles;
};

class WalkErrorTest : public ::testing::TestWithParam<WalkError> {};

TEST_P(WalkErrorTest, BothDecodersFailWithTheSameText) {
  const TableSet tables = testing::test_tables();
  const std::vector<std::uint8_t> zeros(8, 0);
  const std::optional<TemplateProgram> program = compile_template(tables, GetParam().codes);
  EXPECT_EQ(program.has_value(), GetParam().compiles);
  for (const bool compressed : {false, true}) {
    for (const TemplateProgram* replayed :
         {static_cast<const TemplateProgram*>(nullptr), program ? &*program : nullptr}) {
      DecodeResult out;
      const Status status = decode_with(compressed, GetParam().codes, tables, zeros, out, replayed);
      ASSERT_FALSE(status) << "compressed " << compressed;
      EXPECT_EQ(status.error().message(), GetParam().message) << "compressed " << compressed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkErrorTest,
    ::testing::Values(
        WalkError{"factor_without_group",
                  {101000, 31001},
                  "delayed replication descriptor 101000 is missing its replication factor or "
                  "replicated descriptors",
                  false},
        WalkError{"x_zero", {100003, 1001}, "unsupported replication descriptor 100003", false},
        WalkError{"too_few_after", {103002, 1001, 1002}, "unsupported replication descriptor 103002", false},
        WalkError{"unknown_element", {1001, 5001}, "descriptor 005001 was not found in Table B", true},
        WalkError{
            "unknown_factor", {101000, 31099, 1001}, "descriptor 031099 was not found in Table B", true},
        WalkError{"unknown_sequence", {399999}, "descriptor 399999 was not found in Table D", false},
        WalkError{"f_above_3", {400000}, "csv/table parse error: invalid descriptor 400000", false},
        WalkError{"long_code", {31001, 3999999}, "csv/table parse error: invalid descriptor 3999999", false}),
    [](const auto& info) { return std::string(info.param.label); });

// Nested sequences: the top list is depth 0, the innermost sequence's members depth `levels`;
// 64 levels decode, the 65th fails with each decoder's own text.
class WalkDepthTest : public ::testing::TestWithParam<std::tuple<bool, std::uint32_t>> {};

TEST_P(WalkDepthTest, SixtyFourLevelsBelowTheTopDecode) {
  const auto [compressed, levels] = GetParam();
  TableSet tables = testing::test_tables();
  for (std::uint32_t k = 1; k < levels; ++k) tables.insert_sequence({340000 + k, {340001 + k}});
  tables.insert_sequence({340000 + levels, {33007}});
  BitWriter w;
  w.put(9, 7);
  if (compressed) w.put(0, 6);
  DecodeResult out;
  const Status status = decode_with(compressed, {340001}, tables, w.octets(), out);
  const std::optional<TemplateProgram> program = compile_template(tables, std::vector<std::uint32_t>{340001});
  EXPECT_EQ(program.has_value(), levels <= 64);
  if (program) {
    DecodeResult replayed;
    EXPECT_TRUE(testing::identical(
        status, out, decode_with(compressed, {340001}, tables, w.octets(), replayed, &*program), replayed));
  }
  if (levels <= 64) {
    ASSERT_TRUE(status) << status.error().message();
    EXPECT_EQ(testing::seen(out), (std::vector<testing::Seen>{testing::num(33007, 9)}));
  } else {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().message(),
              compressed ? "csv/table parse error: compressed descriptor decode exceeded "
                           "recursion depth"
                         : "csv/table parse error: descriptor decode exceeded recursion depth");
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, WalkDepthTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(1u, 63u, 64u, 65u)));

}  // namespace
}  // namespace quorvex
