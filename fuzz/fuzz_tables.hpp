// Fuzz entries of the table loaders: the input becomes the content of one table file in a
// scratch directory, which the loader then reads like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_set.hpp"
#include "tables/wmo_csv_loader.hpp"

namespace quorvex::fuzz {

// What every successful load promises: each stored entry is found under its own code.
inline void check_tables(const TableSet& t) {
  for (const auto& [code, def] : t.elements()) {
    QV_FUZZ_CHECK(def.code == code);
    QV_FUZZ_CHECK(t.find_element(code) == &def);
  }
  for (const auto& [code, def] : t.sequences()) {
    QV_FUZZ_CHECK(def.code == code);
    QV_FUZZ_CHECK(t.find_sequence(code) == &def);
  }
}

inline std::string check_status(const Status& s, const TableSet& t) {
  if (!s) return failed(s.error());
  check_tables(t);
  return ok(t.element_count() + t.sequence_count() + t.code_table_count());
}

inline std::string run_element_table(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch().fresh_dir("element") + "/element.table";
  write_file(path, as_text(data, size));
  TableSet t;
  return check_status(load_element_table(path, t), t);
}

inline std::string run_sequence_def(const std::uint8_t* data, std::size_t size) {
  static const std::string path = scratch().fresh_dir("sequence") + "/sequence.def";
  write_file(path, as_text(data, size));
  TableSet t;
  return check_status(load_sequence_file(path, t), t);
}

// One code table file (for code 20003) in an otherwise empty "codetables" directory.
inline std::string run_code_table(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = scratch().fresh_dir("codetables");
  write_file(dir + "/20003.table", as_text(data, size));
  TableSet t;
  const Status s = load_code_table_directory(dir, t);
  if (s) QV_FUZZ_CHECK(t.code_table_count() == 1 && t.find_code_table(20003) != nullptr);
  return check_status(s, t);
}

// The first octet chooses the file: even, a Table B file; odd, a Table D file. The rest
// is its content.
inline std::string run_wmo_csv(const std::uint8_t* data, std::size_t size) {
  static const std::string b_dir = scratch().fresh_dir("wmo-b");
  static const std::string d_dir = scratch().fresh_dir("wmo-d");
  if (size == 0) return "empty input";
  const bool table_d = (data[0] & 1) != 0;
  const std::string& dir = table_d ? d_dir : b_dir;
  write_file(dir + (table_d ? "/BUFR_TableD_en_00.csv" : "/BUFRCREX_TableB_en_00.csv"),
             as_text(data + 1, size - 1));
  auto loaded = load_wmo_csv_directory(dir);
  if (!loaded) return failed(loaded.error());
  check_tables(*loaded);
  QV_FUZZ_CHECK(loaded->code_table_count() == 0);
  QV_FUZZ_CHECK(table_d ? loaded->element_count() == 0 : loaded->sequence_count() == 0);
  return ok(loaded->element_count() + loaded->sequence_count());
}

}  // namespace quorvex::fuzz
