// Helpers of the decoder tests: section 4 bit strings written field by field, and a small
// hand-built table set.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "decode/decoded_value.hpp"
#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex::testing {

// Appends fields most significant bit first, as section 4 holds them.
class BitWriter {
 public:
  BitWriter& put(std::uint64_t value, unsigned width) {
    for (unsigned k = width; k-- > 0;) put_bit((value >> k) & 1u);
    return *this;
  }
  BitWriter& text(const std::string& s) {
    for (char c : s) put(static_cast<std::uint8_t>(c), 8);
    return *this;
  }
  // Zero bits up to the next octet boundary.
  const std::vector<std::uint8_t>& octets() {
    while (bits_ % 8 != 0) put_bit(0);
    return octets_;
  }
  std::size_t bits() const { return bits_; }

 private:
  void put_bit(unsigned bit) {
    if (bits_ % 8 == 0) octets_.push_back(0);
    if (bit) octets_.back() |= static_cast<std::uint8_t>(0x80u >> (bits_ % 8));
    ++bits_;
  }
  std::vector<std::uint8_t> octets_;
  std::size_t bits_ = 0;
};

inline ElementDefinition element(std::uint32_t code, std::string name, std::string unit, std::int32_t scale,
                                 std::int64_t reference, std::uint16_t width) {
  ElementDefinition d;
  d.code = code;
  d.name = std::move(name);
  d.unit = std::move(unit);
  d.scale = scale;
  d.reference = reference;
  d.width = width;
  return d;
}

// Table B (and a little of D and of the code tables) for the walk tests.
inline TableSet test_tables() {
  TableSet t;
  t.insert_element(element(1001, "blockNumber", "Numeric", 0, 0, 7));
  t.insert_element(element(1002, "stationNumber", "Numeric", 0, 0, 10));
  t.insert_element(element(1015, "stationOrSiteName", "CCITT IA5", 0, 0, 24));
  t.insert_element(element(2001, "typeOfStation", "Code table", 0, 0, 2));
  t.insert_element(element(8023, "firstOrderStatistics", "CODE TABLE", 0, 0, 6));
  t.insert_element(element(12101, "airTemperature", "K", 2, 0, 16));
  t.insert_element(element(12102, "wetBulbTemperature", "K", 1, -40, 12));
  t.insert_element(element(20003, "presentWeather", "Code table", 0, 0, 4));
  t.insert_element(element(31001, "delayedDescriptorReplicationFactor", "Numeric", 0, 0, 8));
  t.insert_element(element(31002, "extendedDelayedDescriptorReplicationFactor", "Numeric", 0, 0, 16));
  t.insert_element(element(31021, "associatedFieldSignificance", "Code table", 0, 0, 6));
  t.insert_element(element(31031, "dataPresentIndicator", "Flag table", 0, 0, 1));
  t.insert_element(element(33007, "percentConfidence", "%", 0, 0, 7));
  t.insert_element(element(1031, "centre", "Code table", 0, 0, 16));
  t.insert_code_table(20003, CodeTable{{15, "Missing value"}, {1, "Clouds dissolving"}});
  t.insert_code_table(2001, CodeTable{{1, "Manned"}});
  t.insert_sequence(SequenceDefinition{301001, {1001, 1002}});
  return t;
}

// Compact view of one value for comparisons in failures.
struct Seen {
  std::uint32_t descriptor;
  bool has_value;
  double value;
  friend bool operator==(const Seen&, const Seen&) = default;
  friend void PrintTo(const Seen& s, std::ostream* os) {
    *os << s.descriptor << ':';
    if (s.has_value) {
      *os << s.value;
    } else {
      *os << "None";
    }
  }
};

inline std::vector<Seen> seen(const DecodeResult& r) {
  std::vector<Seen> out;
  for (const auto& v : r.values)
    out.push_back({v.descriptor, v.has_value(), v.has_value() ? v.raw_value : 0.0});
  return out;
}

// Two decodes of the same data: the same outcome (the same error text, or success) and the
// same records, every field compared (numbers bit for bit, roles included), the same texts
// and subset starts.
inline ::testing::AssertionResult identical(const Status& status_a, const DecodeResult& a,
                                            const Status& status_b, const DecodeResult& b) {
  if (status_a.has_value() != status_b.has_value()) return ::testing::AssertionFailure() << "one failed";
  if (!status_a && status_a.error().message() != status_b.error().message()) {
    return ::testing::AssertionFailure()
           << status_a.error().message() << " != " << status_b.error().message();
  }
  if (a.values.size() != b.values.size())
    return ::testing::AssertionFailure() << a.values.size() << " != " << b.values.size() << " values";
  for (std::size_t k = 0; k < a.values.size(); ++k) {
    const DecodedValue& x = a.values[k];
    const DecodedValue& y = b.values[k];
    if (std::bit_cast<std::uint64_t>(x.raw_value) != std::bit_cast<std::uint64_t>(y.raw_value) ||
        x.raw != y.raw || x.name != y.name || x.meaning != y.meaning || x.descriptor != y.descriptor ||
        x.text_index != y.text_index || x.flags != y.flags || x.role != y.role) {
      return ::testing::AssertionFailure()
             << "value " << k << " of descriptor " << x.descriptor << " differs";
    }
  }
  if (a.texts != b.texts) return ::testing::AssertionFailure() << "texts differ";
  if (a.subset_starts != b.subset_starts) return ::testing::AssertionFailure() << "subset starts differ";
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult identical(const Result<DecodeResult>& a, const Result<DecodeResult>& b) {
  static const DecodeResult kNone;
  const auto status = [](const Result<DecodeResult>& r) { return r ? Status{} : Status(fail(r.error())); };
  return identical(status(a), a ? *a : kNone, status(b), b ? *b : kNone);
}

inline Seen num(std::uint32_t code, double v) { return {code, true, v}; }
inline Seen missing(std::uint32_t code) { return {code, false, 0.0}; }

}  // namespace quorvex::testing
