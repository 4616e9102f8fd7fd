// Loader of a table directory laid out the ecCodes way: "element.table" (Table B),
// "sequence.def" (Table D) and an optional "codetables" directory of code/flag tables.
#pragma once

#include <string>

#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// How the rows of an element table are read. Uniform: every row has the field count of the
// first (what _quorvex's loaders promise). AsEccodes: rows may be longer or shorter, as
// ecCodes reads them (its local tables mix rows with and without the CREX columns); a row
// of fewer than eight fields defines nothing.
enum class TableRows : bool { Uniform, AsEccodes };

// Loads D/element.table, D/sequence.def and, when present, D/codetables into `tables`.
// Later entries replace earlier ones with the same code. On error `tables` holds a partial
// load and must be dropped by the caller.
[[nodiscard]] Status load_table_directory(const std::string& dir, TableSet& tables,
                                          TableRows rows = TableRows::Uniform);

// The same into a new TableSet (what decode_values and expand_descriptors use).
[[nodiscard]] Result<TableSet> load_table_directory(const std::string& dir);

// The three file loaders, also used for the local tables of a definitions root.
[[nodiscard]] Status load_element_table(const std::string& path, TableSet& tables,
                                        TableRows rows = TableRows::Uniform);
[[nodiscard]] Status load_sequence_file(const std::string& path, TableSet& tables,
                                        TableRows rows = TableRows::Uniform);
[[nodiscard]] Status load_code_table_directory(const std::string& dir, TableSet& tables);

}  // namespace quorvex
