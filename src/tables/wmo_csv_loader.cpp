#include "tables/wmo_csv_loader.hpp"

#include <unordered_map>
#include <vector>

#include "lib/file_system.hpp"
#include "tables/csv_reader.hpp"
#include "tables/decimal.hpp"

namespace quorvex {

namespace {

constexpr DelimitedFormat kCsv{.delimiter = ',', .comment = '\0', .header = true};

// Column positions of a data row.
constexpr std::size_t kCodeColumn = 2;
constexpr std::size_t kNameColumn = 3;
constexpr std::size_t kUnitColumn = 4;
constexpr std::size_t kScaleColumn = 5;
constexpr std::size_t kReferenceColumn = 6;
constexpr std::size_t kWidthColumn = 7;
constexpr std::size_t kMemberColumn = 5;

const char* element_type_of(std::string_view unit) {
  if (unit == "Code table") return "code";
  if (unit == "Flag table") return "flags";
  if (unit == "CCITT IA5") return "string";
  return "long";
}

Status insert_table_b_row(RecordFields f, TableSet& tables) {
  if (f.size() <= kWidthColumn) return {};
  ElementDefinition def;
  def.code = QV_TRY(parse_descriptor_code(f[kCodeColumn]));
  def.name = f[kNameColumn];
  def.unit = f[kUnitColumn];
  def.element_type = element_type_of(def.unit);
  def.scale = QV_TRY(parse_i32_field(f[kScaleColumn]));
  def.reference = QV_TRY(parse_i64_field(f[kReferenceColumn]));
  def.width = QV_TRY(parse_u16_field(f[kWidthColumn]));
  tables.insert_element(std::move(def));
  return {};
}

// The sequences of one Table D file, in order of first appearance.
struct TableDFile {
  std::vector<SequenceDefinition> sequences;
  std::unordered_map<std::uint32_t, std::size_t> index;

  Status add_row(RecordFields f) {
    if (f.size() <= kMemberColumn) return {};
    const std::uint32_t code = QV_TRY(parse_descriptor_code(f[kCodeColumn]));
    const std::uint32_t member = QV_TRY(parse_descriptor_code(f[kMemberColumn]));
    auto [it, added] = index.try_emplace(code, sequences.size());
    if (added) sequences.push_back(SequenceDefinition{code, {}});
    sequences[it->second].members.push_back(member);
    return {};
  }
};

}  // namespace

Result<TableSet> load_wmo_csv_directory(const std::string& dir) {
  TableSet tables;
  const auto table_b = QV_TRY(list_directory_files(dir, "BUFRCREX_TableB_en_", ".csv"));
  for (const std::string& path : table_b) {
    QV_CHECK(read_delimited_file(
        path, kCsv, [&](RecordFields fields) { return insert_table_b_row(fields, tables); }));
  }
  const auto table_d = QV_TRY(list_directory_files(dir, "BUFR_TableD_en_", ".csv"));
  for (const std::string& path : table_d) {
    TableDFile file;
    QV_CHECK(read_delimited_file(path, kCsv, [&](RecordFields fields) { return file.add_row(fields); }));
    for (SequenceDefinition& seq : file.sequences) tables.insert_sequence(std::move(seq));
  }
  return tables;
}

}  // namespace quorvex
