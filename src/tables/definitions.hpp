// Choosing and loading the master and local table directories that a
// message's section 1 asks for under an ecCodes definitions root.
#pragma once

#include <string>

#include "message/error.hpp"
#include "message/framing.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// Alias files are followed at most this many times before the chain is
// taken for a loop.
constexpr int kMaxAliasHops = 32;

// Follows alias files that stand where a table directory is expected.
Result<std::string> resolve_table_dir(const std::string& path);

std::string master_table_dir(const std::string& root, const BufrMessage& message);
std::string local_table_dir(const std::string& root, const BufrMessage& message);

Result<TableSet> load_definitions_tables(const std::string& root, const BufrMessage& message);

}  // namespace corvena
