#include "encode/header_fields.hpp"

#include <string>

#include "message/header_keys.hpp"

namespace quorvex {

namespace {

struct Settable {
  std::string_view name;
  std::int64_t max;
  void (*set)(BufrMessage&, std::int64_t);
};

#define QV_SET(field) [](BufrMessage& m, std::int64_t v) { m.field = static_cast<decltype(m.field)>(v); }

constexpr Settable kSettable[] = {
    {"masterTableNumber", 255, QV_SET(master_table_number)},
    {"bufrHeaderCentre", 65535, QV_SET(originating_centre)},
    {"bufrHeaderSubCentre", 65535, QV_SET(originating_subcentre)},
    {"updateSequenceNumber", 255, QV_SET(update_sequence_number)},
    {"dataCategory", 255, QV_SET(data_category)},
    {"internationalDataSubCategory", 255, QV_SET(international_data_subcategory)},
    {"dataSubCategory", 255, QV_SET(local_data_subcategory)},
    {"masterTablesVersionNumber", 255, QV_SET(master_tables_version_number)},
    {"localTablesVersionNumber", 255, QV_SET(local_tables_version_number)},
    {"typicalYear", 65535, QV_SET(typical_year)},
    {"typicalMonth", 255, QV_SET(typical_month)},
    {"typicalDay", 255, QV_SET(typical_day)},
    {"typicalHour", 255, QV_SET(typical_hour)},
    {"typicalMinute", 255, QV_SET(typical_minute)},
    {"typicalSecond", 255, QV_SET(typical_second)},
    {"observedData", 1, QV_SET(observed_data)},
};

#undef QV_SET

}  // namespace

BufrMessage default_header() {
  BufrMessage m;
  m.edition = 4;
  m.originating_centre = 255;
  m.data_category = 255;
  m.international_data_subcategory = 255;
  m.local_data_subcategory = 255;
  m.master_tables_version_number = kDefaultMasterVersion;
  m.observed_data = true;
  return m;
}

bool settable_header_key(std::string_view name) {
  for (const Settable& s : kSettable) {
    if (s.name == name) return true;
  }
  return false;
}

Status set_header_key(BufrMessage& header, std::string_view name, std::int64_t value) {
  const std::string key(name);
  const int index = header_key_index(name);
  if (index < 0) return fail(BufrError::unencodable("header: " + key + " is no header key"));
  if (header_keys()[static_cast<std::size_t>(index)].local)
    return fail(
        BufrError::unencodable("header: " + key +
                               " is a key of the local section (section 2), which is not written from a "
                               "table (Message.to_bytes keeps a message's own)"));
  if (name == "edition") {
    if (value != 4)
      return fail(BufrError::unencodable("header: edition " + std::to_string(value) +
                                         " cannot be written; edition 4 is"));
    return {};
  }
  for (const Settable& s : kSettable) {
    if (s.name != name) continue;
    if (value < 0 || value > s.max)
      return fail(BufrError::unencodable("header: " + key + " = " + std::to_string(value) +
                                         " is outside 0.." + std::to_string(s.max)));
    s.set(header, value);
    return {};
  }
  return fail(BufrError::unencodable("header: " + key + " is set by the writer, not by hand"));
}

}  // namespace quorvex
