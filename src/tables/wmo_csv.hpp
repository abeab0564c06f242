// Loading the WMO BUFR4 tables in their CSV publication:
// BUFRCREX_TableB_en_*.csv and BUFR_TableD_en_*.csv.
#pragma once

#include <string>

#include "common/error.hpp"
#include "tables/table_set.hpp"

namespace corvena {

Result<TableSet> load_wmo_csv_dir(const std::string& path);

}  // namespace corvena
