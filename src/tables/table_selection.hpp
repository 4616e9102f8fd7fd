// Table selection from an ecCodes-style definitions root: the WMO tables of the message's
// master table version, then the local tables of its centre and sub-centre over them.
#pragma once

#include <string>

#include "lib/error.hpp"
#include "message/message.hpp"
#include "tables/eccodes_loader.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

// Longest chain of alias files followed before giving up (a chain that loops ends here).
inline constexpr int kMaxTableAliasSteps = 32;

// `path` itself when it is a directory; otherwise follows alias files (a regular file
// naming a sibling directory) until a directory is reached.
[[nodiscard]] Result<std::string> resolve_table_directory(const std::string& path);

// The WMO table directory of a message below `root`: root/bufr/tables/N/wmo/V.
std::string wmo_table_path(const std::string& root, const BufrMessage& message);
// The local table directory: root/bufr/tables/N/local/<L or 19-L>/C/S.
std::string local_table_path(const std::string& root, const BufrMessage& message);

// The element table, sequences and code tables of one directory into `tables`; `required`:
// the first two must be there (a WMO directory). AsEccodes names the failing file.
[[nodiscard]] Status load_table_parts(const std::string& dir, bool required, TableSet& tables,
                                      TableRows rows);

// Loads the tables `message` names from the definitions root `root`. With TableRows::AsEccodes
// element rows are read as ecCodes reads them and a file that fails to load is named in the
// error (the CSV errors carry its line).
[[nodiscard]] Result<TableSet> select_definitions_tables(const std::string& root, const BufrMessage& message,
                                                         TableRows rows = TableRows::Uniform);

}  // namespace quorvex
