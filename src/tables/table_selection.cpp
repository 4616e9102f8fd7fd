#include "tables/table_selection.hpp"

#include "lib/file_system.hpp"
#include "lib/text.hpp"
#include "lib/text_scan.hpp"
#include "tables/eccodes_loader.hpp"

namespace quorvex {

namespace {

BufrError missing_directory(const std::string& path) { return BufrError::missing_table_directory(path); }

BufrError invalid_alias(const std::string& path, std::string_view alias) {
  return BufrError::invalid_table_alias(path, alias);
}

std::string tables_root(const std::string& root, const BufrMessage& m) {
  return join_path(join_path(join_path(root, "bufr"), "tables"), std::to_string(m.master_table_number));
}

}  // namespace

Result<std::string> resolve_table_directory(const std::string& path) {
  std::string current = path;
  for (int step = 0;; ++step) {
    const FileKind kind = file_kind(current);
    if (kind == FileKind::Directory) return current;
    if (kind != FileKind::Regular) return fail(missing_directory(current));
    const std::string content = QV_TRY(read_utf8_file(current));
    const std::string_view alias = trim_space(content);
    if (alias.empty() || alias.find_first_of("/\\") != std::string_view::npos ||
        step >= kMaxTableAliasSteps) {
      return fail(invalid_alias(current, alias));  // includes a chain that loops
    }
    std::string parent;
    if (!parent_path(current, parent)) return fail(missing_directory(current));
    current = join_path(parent, alias);
  }
}

std::string wmo_table_path(const std::string& root, const BufrMessage& m) {
  return join_path(join_path(tables_root(root, m), "wmo"), std::to_string(m.master_tables_version_number));
}

std::string local_table_path(const std::string& root, const BufrMessage& m) {
  std::string name = std::to_string(m.local_tables_version_number);
  if (m.master_tables_version_number == 19) name = "19-" + name;
  std::string dir = join_path(join_path(tables_root(root, m), "local"), name);
  dir = join_path(dir, std::to_string(m.originating_centre));
  return join_path(dir, std::to_string(m.originating_subcentre));
}

Status load_table_parts(const std::string& dir, bool required, TableSet& tables, TableRows rows) {
  const auto in_file = [&](const std::string& path, Status status) -> Status {
    if (status || rows != TableRows::AsEccodes) return status;
    return fail(BufrError::in_table_file(path, status.error()));
  };
  const std::string element = join_path(dir, "element.table");
  if (required || path_exists(element)) QV_CHECK(in_file(element, load_element_table(element, tables, rows)));
  const std::string sequence = join_path(dir, "sequence.def");
  if (required || path_exists(sequence))
    QV_CHECK(in_file(sequence, load_sequence_file(sequence, tables, rows)));
  const std::string codetables = join_path(dir, "codetables");
  if (path_exists(codetables)) QV_CHECK(in_file(codetables, load_code_table_directory(codetables, tables)));
  return {};
}

Result<TableSet> select_definitions_tables(const std::string& root, const BufrMessage& message,
                                           TableRows rows) {
  const std::string wmo = QV_TRY(resolve_table_directory(wmo_table_path(root, message)));
  TableSet tables;
  QV_CHECK(load_table_parts(wmo, true, tables, rows));
  if (message.local_tables_version_number == 0) return tables;
  const std::string local = local_table_path(root, message);
  if (path_exists(local)) QV_CHECK(load_table_parts(local, false, tables, rows));
  return tables;
}

}  // namespace quorvex
