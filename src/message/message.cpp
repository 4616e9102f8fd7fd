// Framing of one BUFR message: sections 0 to 5 and the header fields. Edition 4 always;
// editions 2 and 3 when the caller asks (their section 1 has its own layout).
#include "message/message.hpp"

#include <cstring>

#include "message/descriptor.hpp"

namespace quorvex {

namespace {

// True when [start, start + length) lies within n octets; cannot overflow.
bool fits(std::size_t start, std::size_t length, std::size_t n) { return start <= n && length <= n - start; }

// Reads big-endian numbers from the octets of one message, never past its end.
class HeaderReader {
 public:
  explicit HeaderReader(Bytes octets) : b_(octets) {}

  std::size_t size() const { return b_.size(); }
  std::uint8_t octet(std::size_t at) const { return b_[at]; }

  std::uint32_t be24_unchecked(std::size_t at) const {
    return (std::uint32_t{b_[at]} << 16) | (std::uint32_t{b_[at + 1]} << 8) | b_[at + 2];
  }
  std::uint16_t be16_unchecked(std::size_t at) const {
    return static_cast<std::uint16_t>((b_[at] << 8) | b_[at + 1]);
  }

  Result<std::uint32_t> be24(std::size_t at, std::uint8_t section) const {
    if (!fits(at, 3, size())) return fail(BufrError::section_truncated(section, at));
    return be24_unchecked(at);
  }
  Result<std::uint16_t> be16(std::size_t at) const {
    if (!fits(at, 2, size())) return fail(BufrError::section_truncated(0, at));
    return be16_unchecked(at);
  }
  // A single octet of a fixed header position; section 0 with the position read.
  Result<std::uint8_t> fixed_octet(std::size_t at) const {
    if (at >= size()) return fail(BufrError::section_truncated(0, at));
    return b_[at];
  }
  bool text_at(std::size_t at, const char (&text)[5]) const {
    return fits(at, 4, size()) && std::memcmp(b_.data() + at, text, 4) == 0;
  }

 private:
  Bytes b_;
};

// Steps 1 to 4: length, marker, edition, declared total length.
Status check_indicator(const HeaderReader& r, ParseOptions options) {
  const std::size_t n = r.size();
  if (n <= 7) return fail(BufrError::too_short());
  if (!r.text_at(0, "BUFR")) return fail(BufrError::missing_marker());
  const std::uint8_t edition = r.octet(7);
  const bool older = options.older_editions && (edition == 2 || edition == 3);
  if (edition != 4 && !older) return fail(BufrError::unsupported_edition(edition));
  const std::size_t declared = r.be24_unchecked(4);
  if (declared != n) return fail(BufrError::length_mismatch(declared, n));
  return {};
}

// Section 3 from its start: subsets, flags and the descriptors as written.
Status read_section3(const HeaderReader& r, std::size_t s3, BufrMessage& m) {
  const std::size_t l3 = QV_TRY(r.be24(s3, 3));
  if (!fits(s3, l3, r.size()) || l3 < 7) return fail(BufrError::section_truncated(3, s3));
  m.section3_length = l3;
  m.number_of_subsets = QV_TRY(r.be16(s3 + 4));
  // Editions 2 and 3 padded every section to an even length, and many edition 4
  // messages still carry that pad after the last descriptor: usually a zero octet, from
  // some encoders a space. A descriptor takes two octets, so a single odd octet can only
  // be padding, whatever it holds; it is skipped.
  const std::uint8_t flags = r.octet(s3 + 6);
  m.observed_data = (flags & 0x80) != 0;
  m.compressed_data = (flags & 0x40) != 0;
  m.unexpanded_descriptors.resize((l3 - 7) / 2);
  std::size_t at = s3 + 7;
  for (auto& code : m.unexpanded_descriptors) {
    code = code_from_packed(r.be16_unchecked(at));
    at += 2;
  }
  return {};
}

// The section 1 fields at their fixed offsets 11 to 29 (the year is read earlier). The
// view holds at least 25 octets here, so the first octet missing, if any, is octet n.
Status read_section1_fields(const HeaderReader& r, BufrMessage& m) {
  if (r.size() < 30) return fail(BufrError::section_truncated(0, r.size()));
  m.master_table_number = r.octet(11);
  m.originating_centre = r.be16_unchecked(12);
  m.originating_subcentre = r.be16_unchecked(14);
  m.update_sequence_number = r.octet(16);
  m.data_category = r.octet(18);
  m.international_data_subcategory = r.octet(19);
  m.local_data_subcategory = r.octet(20);
  m.master_tables_version_number = r.octet(21);
  m.local_tables_version_number = r.octet(22);
  m.typical_month = r.octet(25);
  m.typical_day = r.octet(26);
  m.typical_hour = r.octet(27);
  m.typical_minute = r.octet(28);
  m.typical_second = r.octet(29);
  return {};
}

// Section 1 of editions 2 and 3 (18 octets, the last a pad): a year of the century, no
// seconds, no international sub-category. Edition 2 has a 16-bit centre and no
// sub-centre; edition 3 the sub-centre first, then an 8-bit centre. The year is
// completed as 2000 + year of century whatever its value (century 21, as ecCodes
// completes it), so 99 reads as 2099, not 1999.
Status read_section1_older(const HeaderReader& r, std::size_t l1, std::uint8_t edition, BufrMessage& m) {
  constexpr std::size_t s1 = 8;
  if (l1 < 17) return fail(BufrError::section_truncated(1, s1));
  m.master_table_number = r.octet(s1 + 3);
  if (edition == 2) {
    m.originating_centre = r.be16_unchecked(s1 + 4);
    m.originating_subcentre = 0;
  } else {
    m.originating_subcentre = r.octet(s1 + 4);
    m.originating_centre = r.octet(s1 + 5);
  }
  m.update_sequence_number = r.octet(s1 + 6);
  m.local_section_present = (r.octet(s1 + 7) & 0x80) != 0;
  m.data_category = r.octet(s1 + 8);
  m.international_data_subcategory = kNoInternationalSubcategory;
  m.local_data_subcategory = r.octet(s1 + 9);
  m.master_tables_version_number = r.octet(s1 + 10);
  m.local_tables_version_number = r.octet(s1 + 11);
  m.typical_year = static_cast<std::uint16_t>(2000 + r.octet(s1 + 12));
  m.typical_month = r.octet(s1 + 13);
  m.typical_day = r.octet(s1 + 14);
  m.typical_hour = r.octet(s1 + 15);
  m.typical_minute = r.octet(s1 + 16);
  m.typical_second = 0;
  return check_typical_date(m);
}

}  // namespace

Status check_typical_date(const BufrMessage& m) {
  static constexpr std::uint8_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const std::uint16_t y = m.typical_year;
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const bool month_ok = m.typical_month >= 1 && m.typical_month <= 12;
  const bool day_ok = month_ok && m.typical_day >= 1 && m.typical_day <= kDays[m.typical_month - 1] &&
                      !(m.typical_month == 2 && m.typical_day == 29 && !leap);
  if (!day_ok || m.typical_hour > 23 || m.typical_minute > 59 || m.typical_second > 59) {
    return fail(BufrError::impossible_date(
        m.typical_year, m.typical_month, m.typical_day, m.typical_hour, m.typical_minute, m.typical_second));
  }
  return {};
}

Result<BufrMessage> parse_message(Bytes octets) { return parse_message(octets, ParseOptions{}); }

Result<BufrMessage> parse_message(Bytes octets, ParseOptions options) {
  BufrMessage m;
  QV_CHECK(parse_message(octets, options, m));
  return m;
}

Status parse_message(Bytes octets, ParseOptions options, BufrMessage& m) {
  const HeaderReader r(octets);
  const std::size_t n = r.size();
  QV_CHECK(check_indicator(r, options));
  const std::uint8_t edition = r.octet(7);
  if (n <= 10) return fail(BufrError::section_truncated(1, 8));
  const std::size_t l1 = r.be24_unchecked(8);
  const std::size_t s2 = 8 + l1;
  if (s2 > n) return fail(BufrError::section_truncated(1, 8));

  std::vector<std::uint32_t> codes = std::move(m.unexpanded_descriptors);  // its memory kept
  m = BufrMessage{};
  m.unexpanded_descriptors = std::move(codes);
  if (edition == 4) {
    m.local_section_present = QV_TRY(r.fixed_octet(17)) != 0;
    m.typical_year = QV_TRY(r.be16(23));
  } else {
    QV_CHECK(read_section1_older(r, l1, edition, m));
  }

  std::size_t l2 = 0;
  if (m.local_section_present) {
    l2 = QV_TRY(r.be24(s2, 2));
    if (!fits(s2, l2, n)) return fail(BufrError::section_truncated(2, s2));
  }
  const std::size_t s3 = s2 + l2;
  QV_CHECK(read_section3(r, s3, m));

  const std::size_t s4 = s3 + m.section3_length;
  const std::size_t l4 = QV_TRY(r.be24(s4, 4));
  if (!fits(s4, l4, n)) return fail(BufrError::section_truncated(4, s4));
  const std::size_t s5 = s4 + l4;
  if (!fits(s5, 4, n)) return fail(BufrError::section_truncated(5, s5));
  if (!r.text_at(s5, "7777")) return fail(BufrError::bad_terminator());

  if (edition == 4) {
    QV_CHECK(read_section1_fields(r, m));
    if (options.typical_date) QV_CHECK(check_typical_date(m));
  }
  m.total_length = n;
  m.edition = edition;
  m.section1_length = l1;
  m.section2_length = l2;
  m.section4_length = l4;
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = l4 >= 4 ? l4 - 4 : 0;
  return {};
}

}  // namespace quorvex
