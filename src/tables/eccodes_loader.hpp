// Loading an ecCodes BUFR table directory: element.table (Table B),
// sequence.def (Table D) and codetables/CODE.table.
#pragma once

#include <string>

#include "common/error.hpp"
#include "tables/table_set.hpp"

namespace corvena {

Result<TableSet> load_eccodes_dir(const std::string& path);

// Each stores into `tables`, later entries replacing earlier ones, and stops
// at its first error (the caller then drops the set).
Status load_element_table(const std::string& file, TableSet& tables);
Status load_sequence_def(const std::string& file, TableSet& tables);
Status load_code_tables(const std::string& dir, TableSet& tables);

// Table D statements from text already in memory.
Status parse_sequence_text(std::string_view text, TableSet& tables);

}  // namespace corvena
