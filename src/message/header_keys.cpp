// Header keys: the table, and section 2's RDB key as ECMWF lays it out (ecCodes's
// definitions/bufr/rdb_key.def and the position keys of section.3.def).
#include "message/header_keys.hpp"

#include <array>
#include <cstdio>

namespace quorvex {

namespace {

// The RDB key's local data: 48 octets after section 2's length and reserved octet.
constexpr std::size_t kRdbOctets = 48;
constexpr std::size_t kKeyData = 2, kKeyMore = 15, kKeySat = 23, kMessageLength = 32, kRdbTime = 34,
                      kRecTime = 37, kCorrections = 40, kQualityControl = 44, kNewSubtype = 45, kDaLoop = 47;

// `width` bits (at most 32) at bit `first` of `octets`, most significant first.
std::int64_t bits(Bytes octets, std::size_t first, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) {
    const std::size_t at = first + i;
    v = (v << 1) | ((octets[at / 8] >> (7 - at % 8)) & 1u);
  }
  return static_cast<std::int64_t>(v);
}

std::int64_t be(Bytes octets, std::size_t at, std::size_t n) {
  return bits(octets, at * 8, static_cast<unsigned>(n * 8));
}

using V = HeaderValue;
using S = const HeaderSource&;

// The typical year with its century: an edition-4 year below 100 (some encoders write the
// year of the century there) is taken in the 21st, as ecCodes takes it for its dates.
int full_year(const BufrMessage& m) {
  return m.edition >= 4 && m.typical_year < 100 ? 2000 + m.typical_year : m.typical_year;
}

std::string digits(std::initializer_list<std::pair<int, int>> parts) {
  std::string out;
  char buffer[8];
  for (auto [value, width] : parts) {
    std::snprintf(buffer, sizeof buffer, "%.*d", width, value);
    out += buffer;
  }
  return out;
}

V rdbtime_time(S s) {
  if (s.rdb.empty()) return V{};
  return V::of_text(digits({{static_cast<int>(bits(s.rdb, kRdbTime * 8 + 6, 5)), 2},
                            {static_cast<int>(bits(s.rdb, kRdbTime * 8 + 11, 6)), 2},
                            {static_cast<int>(bits(s.rdb, kRdbTime * 8 + 17, 6)), 2}}));
}
template <std::size_t Octet, unsigned First, unsigned Width>
V rdb_bits(S s) {
  return s.rdb.empty() ? V{} : V::of(bits(s.rdb, Octet * 8 + First, Width));
}
// A position of the RDB key: `Width` bits at bit `First` of keyData (`Octet` kKeyData) or
// keyMore, in hundred-thousandths of a degree from -`Offset`; for satellite keys (or
// station keys, `Satellite` false) only.
template <bool Satellite, std::size_t Octet, unsigned First, unsigned Width, std::int64_t Offset>
V rdb_position(S s) {
  if (s.rdb.empty() || s.satellite != Satellite) return V{};
  return V::of_real(static_cast<double>(bits(s.rdb, Octet * 8 + First, Width) - Offset) / 100000.0);
}

// Satellites' count and identifier share keySat; their widths follow the subtype, as
// BUFRDC's buukey decides.
bool wide_satellite_fields(S s) {
  const std::int64_t old_subtype = s.rdb[1];
  return old_subtype == 255 || s.message.number_of_subsets > 255 ||
         (old_subtype >= 121 && old_subtype <= 130) || old_subtype == 31;
}
V number_of_observations(S s) {
  if (s.rdb.empty() || !s.satellite) return V{};
  return V::of(bits(s.rdb, kKeySat * 8, wide_satellite_fields(s) ? 16 : 8));
}
V satellite_id(S s) {
  if (s.rdb.empty() || !s.satellite) return V{};
  return V::of(bits(s.rdb, kKeySat * 8 + (wide_satellite_fields(s) ? 16 : 8), 16));
}
V ident(S s) {
  if (s.rdb.empty() || s.satellite) return V{};
  std::string_view text(reinterpret_cast<const char*>(s.rdb.data() + kKeyMore), 8);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return V::of_text(std::string(text));
}
V rdb_subtype(S s) {
  if (s.rdb.empty()) return V{};
  return V::of(s.rdb[1] < 255 ? s.rdb[1] : be(s.rdb, kNewSubtype, 2));
}

#define QV_FIELD(expr) [](S s) -> V { return (expr); }

const std::array kHeaderKeys = {
    HeaderKey{"edition", HeaderType::Long, QV_FIELD(V::of(s.message.edition))},
    HeaderKey{"masterTableNumber", HeaderType::Long, QV_FIELD(V::of(s.message.master_table_number))},
    HeaderKey{"bufrHeaderCentre", HeaderType::Long, QV_FIELD(V::of(s.message.originating_centre))},
    HeaderKey{"bufrHeaderSubCentre", HeaderType::Long, QV_FIELD(V::of(s.message.originating_subcentre))},
    HeaderKey{"updateSequenceNumber", HeaderType::Long, QV_FIELD(V::of(s.message.update_sequence_number))},
    HeaderKey{"dataCategory", HeaderType::Long, QV_FIELD(V::of(s.message.data_category))},
    HeaderKey{"internationalDataSubCategory",
              HeaderType::Long,
              QV_FIELD(s.message.edition >= 4 ? V::of(s.message.international_data_subcategory) : V{})},
    HeaderKey{"dataSubCategory", HeaderType::Long, QV_FIELD(V::of(s.message.local_data_subcategory))},
    HeaderKey{"masterTablesVersionNumber",
              HeaderType::Long,
              QV_FIELD(V::of(s.message.master_tables_version_number))},
    HeaderKey{
        "localTablesVersionNumber", HeaderType::Long, QV_FIELD(V::of(s.message.local_tables_version_number))},
    HeaderKey{"typicalYear", HeaderType::Long, QV_FIELD(V::of(s.message.typical_year))},
    HeaderKey{
        "typicalYearOfCentury",
        HeaderType::Long,
        QV_FIELD(V::of(s.message.edition < 4 ? s.message.typical_year - 2000 : full_year(s.message) % 100))},
    HeaderKey{"typicalMonth", HeaderType::Long, QV_FIELD(V::of(s.message.typical_month))},
    HeaderKey{"typicalDay", HeaderType::Long, QV_FIELD(V::of(s.message.typical_day))},
    HeaderKey{"typicalHour", HeaderType::Long, QV_FIELD(V::of(s.message.typical_hour))},
    HeaderKey{"typicalMinute", HeaderType::Long, QV_FIELD(V::of(s.message.typical_minute))},
    HeaderKey{"typicalSecond", HeaderType::Long, QV_FIELD(V::of(s.message.typical_second))},
    HeaderKey{"typicalDate",
              HeaderType::String,
              QV_FIELD(V::of_text(digits(
                  {{full_year(s.message), 4}, {s.message.typical_month, 2}, {s.message.typical_day, 2}})))},
    HeaderKey{
        "typicalTime",
        HeaderType::String,
        QV_FIELD(V::of_text(digits(
            {{s.message.typical_hour, 2}, {s.message.typical_minute, 2}, {s.message.typical_second, 2}})))},
    HeaderKey{"rdbType", HeaderType::Long, rdb_bits<0, 0, 8>, true},
    HeaderKey{"oldSubtype", HeaderType::Long, rdb_bits<1, 0, 8>, true},
    HeaderKey{"localYear", HeaderType::Long, rdb_bits<kKeyData, 0, 12>, true},
    HeaderKey{"localMonth", HeaderType::Long, rdb_bits<kKeyData, 12, 4>, true},
    HeaderKey{"localDay", HeaderType::Long, rdb_bits<kKeyData, 16, 6>, true},
    HeaderKey{"localHour", HeaderType::Long, rdb_bits<kKeyData, 22, 5>, true},
    HeaderKey{"localMinute", HeaderType::Long, rdb_bits<kKeyData, 27, 6>, true},
    HeaderKey{"localSecond", HeaderType::Long, rdb_bits<kKeyData, 33, 6>, true},
    HeaderKey{"rdbtimeDay", HeaderType::Long, rdb_bits<kRdbTime, 0, 6>, true},
    HeaderKey{"rdbtimeHour", HeaderType::Long, rdb_bits<kRdbTime, 6, 5>, true},
    HeaderKey{"rdbtimeMinute", HeaderType::Long, rdb_bits<kRdbTime, 11, 6>, true},
    HeaderKey{"rdbtimeSecond", HeaderType::Long, rdb_bits<kRdbTime, 17, 6>, true},
    HeaderKey{"rdbtimeTime", HeaderType::String, rdbtime_time, true},
    HeaderKey{"rectimeDay", HeaderType::Long, rdb_bits<kRecTime, 0, 6>, true},
    HeaderKey{"rectimeHour", HeaderType::Long, rdb_bits<kRecTime, 6, 5>, true},
    HeaderKey{"rectimeMinute", HeaderType::Long, rdb_bits<kRecTime, 11, 6>, true},
    HeaderKey{"rectimeSecond", HeaderType::Long, rdb_bits<kRecTime, 17, 6>, true},
    HeaderKey{"restricted", HeaderType::Long, rdb_bits<kRecTime, 23, 1>, true},
    HeaderKey{"correction1", HeaderType::Long, rdb_bits<kCorrections + 0, 0, 6>, true},
    HeaderKey{"correction1Part", HeaderType::Long, rdb_bits<kCorrections + 0, 6, 1>, true},
    HeaderKey{"correction2", HeaderType::Long, rdb_bits<kCorrections + 1, 0, 6>, true},
    HeaderKey{"correction2Part", HeaderType::Long, rdb_bits<kCorrections + 1, 6, 1>, true},
    HeaderKey{"correction3", HeaderType::Long, rdb_bits<kCorrections + 2, 0, 6>, true},
    HeaderKey{"correction3Part", HeaderType::Long, rdb_bits<kCorrections + 2, 6, 1>, true},
    HeaderKey{"correction4", HeaderType::Long, rdb_bits<kCorrections + 3, 0, 6>, true},
    HeaderKey{"correction4Part", HeaderType::Long, rdb_bits<kCorrections + 3, 6, 1>, true},
    HeaderKey{"qualityControl", HeaderType::Long, rdb_bits<kQualityControl, 0, 8>, true},
    HeaderKey{"newSubtype", HeaderType::Long, rdb_bits<kNewSubtype, 0, 16>, true},
    HeaderKey{"rdbSubtype", HeaderType::Long, rdb_subtype, true},
    HeaderKey{"messageLength", HeaderType::Long, rdb_bits<kMessageLength, 0, 16>, true},
    HeaderKey{"daLoop", HeaderType::Long, rdb_bits<kDaLoop, 0, 8>, true},
    HeaderKey{"numberOfSubsets", HeaderType::Long, QV_FIELD(V::of(s.message.number_of_subsets))},
    HeaderKey{"isSatellite", HeaderType::Long, QV_FIELD(s.rdb.empty() ? V{} : V::of(s.satellite)), true},
    HeaderKey{"localLatitude", HeaderType::Double, rdb_position<false, kKeyData, 72, 25, 9000000>, true},
    HeaderKey{"localLongitude", HeaderType::Double, rdb_position<false, kKeyData, 40, 26, 18000000>, true},
    HeaderKey{"ident", HeaderType::String, ident, true},
    HeaderKey{"localLongitude1", HeaderType::Double, rdb_position<true, kKeyData, 40, 26, 18000000>, true},
    HeaderKey{"localLatitude1", HeaderType::Double, rdb_position<true, kKeyData, 72, 25, 9000000>, true},
    HeaderKey{"localLongitude2", HeaderType::Double, rdb_position<true, kKeyMore, 0, 26, 18000000>, true},
    HeaderKey{"localLatitude2", HeaderType::Double, rdb_position<true, kKeyMore, 32, 25, 9000000>, true},
    HeaderKey{"localNumberOfObservations", HeaderType::Long, number_of_observations, true},
    HeaderKey{"satelliteID", HeaderType::Long, satellite_id, true},
    HeaderKey{"observedData", HeaderType::Long, QV_FIELD(V::of(s.message.observed_data))},
    HeaderKey{"compressedData", HeaderType::Long, QV_FIELD(V::of(s.message.compressed_data))},
};

#undef QV_FIELD

}  // namespace

std::span<const HeaderKey> header_keys() { return kHeaderKeys; }

int header_key_index(std::string_view name) {
  for (std::size_t i = 0; i < kHeaderKeys.size(); ++i) {
    if (kHeaderKeys[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

Result<HeaderSource> header_source(Bytes octets, const BufrMessage& m) {
  QV_CHECK(check_typical_date(m));
  Bytes rdb_octets;
  const std::size_t s2 = 8 + m.section1_length;
  if (m.local_section_present && m.originating_centre == 98 && m.section2_length == 4 + kRdbOctets &&
      s2 + m.section2_length <= octets.size()) {
    rdb_octets = octets.subspan(s2 + 4, kRdbOctets);
  }
  // ECMWF stores satellite data (and every report of several subsets) with an area, not a
  // station, in the key.
  bool satellite = false;
  if (!rdb_octets.empty()) {
    const std::uint8_t type = rdb_octets[0];
    satellite = type == 2 || type == 3 || type == 8 || type == 12 || m.number_of_subsets > 1;
  }
  return HeaderSource{m, rdb_octets, satellite};
}

Result<std::vector<HeaderValue>> read_header_values(Bytes octets, const BufrMessage& m) {
  const HeaderSource source = QV_TRY(header_source(octets, m));
  std::vector<HeaderValue> values;
  values.reserve(kHeaderKeys.size());
  for (const HeaderKey& key : kHeaderKeys) values.push_back(key.read(source));
  return values;
}

}  // namespace quorvex
