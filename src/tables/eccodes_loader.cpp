#include "tables/eccodes_loader.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "lib/file_system.hpp"
#include "lib/text.hpp"
#include "lib/text_scan.hpp"
#include "tables/csv_reader.hpp"
#include "tables/decimal.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kElementFields = 8;

Status insert_element_record(RecordFields f, TableSet& tables, TableRows rows) {
  if (f.size() < kElementFields) return {};  // short rows carry no definition
  // ecCodes reads the numbers with atol: blanks around them are no fault.
  const auto number = [rows](std::string_view field) {
    return rows == TableRows::AsEccodes ? trim_space(field) : field;
  };
  ElementDefinition def;
  def.code = QV_TRY(parse_descriptor_code(number(f[0])));
  def.abbreviation = f[1];
  def.element_type = f[2];
  def.name = f[3];
  def.unit = f[4];
  def.scale = QV_TRY(parse_i32_field(number(f[5])));
  def.reference = QV_TRY(parse_i64_field(number(f[6])));
  def.width = QV_TRY(parse_u16_field(number(f[7])));
  tables.insert_element(std::move(def));
  return {};
}

// Calls `visit(line)`, or `visit(line, number)` with its line number from 1, for each
// trimmed line that is neither empty nor a "#" comment; the first error stops the walk.
template <class Visit>
Status for_each_table_line(std::string_view text, Visit&& visit) {
  Status status;
  std::uint64_t number = 0;
  for_each_line(text, [&](std::string_view raw) {
    ++number;
    if (!status) return;
    const std::string_view line = trim_space(raw);
    if (line.empty() || line.front() == '#') return;
    if constexpr (std::is_invocable_v<Visit, std::string_view, std::uint64_t>) {
      status = visit(line, number);
    } else {
      status = visit(line);
    }
  });
  return status;
}

// One "sequence.def" statement: "KEY" = [ m1, m2, ... ] (text after the "]" ignored).
Status insert_sequence_statement(const std::string& statement, TableSet& tables) {
  const std::size_t eq = statement.find('=');
  if (eq == std::string::npos) return {};  // no key: not a definition
  std::string_view key = trim_space(std::string_view(statement).substr(0, eq));
  while (!key.empty() && key.front() == '"') key.remove_prefix(1);
  while (!key.empty() && key.back() == '"') key.remove_suffix(1);
  SequenceDefinition def;
  def.code = QV_TRY(parse_descriptor_code(key));

  const std::string_view body = std::string_view(statement).substr(eq + 1);
  const std::size_t open = body.find('[');
  const std::size_t close = body.find(']');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return fail(BufrError::bad_sequence_statement(statement));
  }
  std::string_view list = body.substr(open + 1, close - open - 1);
  def.members.reserve(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1);
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view piece = trim_space(list.substr(0, comma));
    if (!piece.empty()) def.members.push_back(QV_TRY(parse_descriptor_code(piece)));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  tables.insert_sequence(std::move(def));
  return {};
}

// One code-table file: lines "KEY IGNORED MEANING..." into a new table.
Result<CodeTable> parse_code_table(std::string_view text) {
  CodeTable table;
  std::size_t lines = 1;
  for_each_line(text, [&](std::string_view) { ++lines; });
  table.reserve(lines);
  Status status = for_each_table_line(text, [&](std::string_view line) -> Status {
    const std::string_view key = next_token(line);
    next_token(line);  // the second column repeats the key in ecCodes files
    std::string meaning;
    append_collapsed(meaning, line);  // the third and later tokens, joined by single blanks
    if (meaning.empty()) return {};   // fewer than three tokens
    const std::uint64_t raw = QV_TRY(parse_code_table_key(key));
    table.insert_or_assign(raw, std::move(meaning));
    return {};
  });
  if (!status) return fail(std::move(status).error());
  return table;
}

}  // namespace

Status load_element_table(const std::string& path, TableSet& tables, TableRows rows) {
  const DelimitedFormat format{.delimiter = '|',
                               .comment = '#',
                               .header = false,
                               .uneven = rows == TableRows::AsEccodes,
                               .name_line = rows == TableRows::AsEccodes};
  return read_delimited_file(
      path, format, [&](RecordFields fields) { return insert_element_record(fields, tables, rows); });
}

Status load_sequence_file(const std::string& path, TableSet& tables, TableRows rows) {
  const std::string text = QV_TRY(read_utf8_file(path));
  std::string pending;
  std::uint64_t first_line = 0;  // where the pending statement starts
  return for_each_table_line(text, [&](std::string_view line, std::uint64_t number) -> Status {
    if (pending.empty()) first_line = number;
    if (!pending.empty()) pending += ' ';
    pending += line;
    if (line.find(']') == std::string_view::npos) return {};
    Status status = insert_sequence_statement(pending, tables);
    pending.clear();  // keeps its capacity for the next statement
    if (!status && rows == TableRows::AsEccodes) return fail(BufrError::on_line(first_line, status.error()));
    return status;
  });
  // A statement still pending at the end never received its "]": dropped.
}

Status load_code_table_directory(const std::string& dir, TableSet& tables) {
  OpenDirectory open = QV_TRY(OpenDirectory::open(dir));
  const std::vector<std::string> names = QV_TRY(open.names("", ".table"));
  std::string text;  // one buffer for all the files of the directory
  for (const std::string& name : names) {
    const std::string_view stem = file_stem(name);
    if (!utf8_text(stem)) continue;
    const std::uint32_t code = QV_TRY(parse_descriptor_code(stem));
    QV_CHECK(open.read_utf8_file_into(name, text));
    CodeTable table = QV_TRY(parse_code_table(text));
    tables.insert_code_table(code, std::move(table));
  }
  return {};
}

Status load_table_directory(const std::string& dir, TableSet& tables, TableRows rows) {
  QV_CHECK(load_element_table(join_path(dir, "element.table"), tables, rows));
  QV_CHECK(load_sequence_file(join_path(dir, "sequence.def"), tables, rows));
  const std::string codetables = join_path(dir, "codetables");
  if (path_exists(codetables)) QV_CHECK(load_code_table_directory(codetables, tables));
  return {};
}

Result<TableSet> load_table_directory(const std::string& dir) {
  TableSet tables;
  QV_CHECK(load_table_directory(dir, tables));
  return tables;
}

}  // namespace quorvex
