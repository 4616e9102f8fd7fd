// Loader of the WMO BUFR4 tables in CSV form: Table B from the files
// "BUFRCREX_TableB_en_*.csv", Table D from "BUFR_TableD_en_*.csv". No code tables.
#pragma once

#include <string>

#include "lib/error.hpp"
#include "tables/table_set.hpp"

namespace quorvex {

[[nodiscard]] Result<TableSet> load_wmo_csv_directory(const std::string& dir);

}  // namespace quorvex
