// The two decoders as consumers of one walk: a compressed message of one subset whose every
// increment width is 0 holds the same fields as the uncompressed message, each followed by
// six zero bits, and must decode to exactly the same values.
#include "decode/walk.hpp"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decode/compressed.hpp"
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
      switch (pick(0, depth >= 3 ? 5 : 8)) {
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
        case 6:
          codes.push_back(301001);
          break;
        case 7: {  // fixed replication
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
        const ElementDefinition& def = *tables_.find_element(code);
        if (associated_width_ != 0) number(pick(0, (1u << associated_width_) - 1), associated_width_);
        if (def.unit == "CCITT IA5") {
          text(def.width / 8);
        } else {
          number(pick(0, (1u << def.width) - 1), def.width);
        }
      } else if (p.f == 2 && p.x == 4) {
        associated_width_ = p.y;
      } else if (p.f == 2) {
        text(p.y);
      } else if (p.f == 3) {
        write(tables_.find_sequence(code)->members);
      } else {
        const std::vector<std::uint32_t> group(
            codes.begin() + static_cast<std::ptrdiff_t>(i) + 1 + (p.y == 0),
            codes.begin() + static_cast<std::ptrdiff_t>(i) + 1 + (p.y == 0) + p.x);
        unsigned count = p.y;
        if (p.y == 0) {
          count = pick(0, 3);
          number(count, 8);
        }
        for (unsigned r = 0; r < count; ++r) write(group);
        i += p.x + (p.y == 0);
      }
    }
  }

  BitWriter uncompressed, compressed;

 private:
  static constexpr std::uint32_t kNumbers[] = {1001, 1002, 2001, 8023, 12101, 12102, 20003, 33007, 1031};

  unsigned pick(unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng_); }
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
  unsigned associated_width_ = 0;
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

}  // namespace
}  // namespace quorvex
