// Choosing and loading the master and local table directories that a
// message's section 1 asks for under an ecCodes definitions root.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// Alias files are followed at most this many times before the chain is
// taken for a loop.
constexpr int kMaxAliasHops = 32;

// What a message's section 1 says about the tables it was written with.
struct TableRequest {
    std::uint8_t master_table_number = 0;
    std::uint8_t master_tables_version_number = 0;
    std::uint8_t local_tables_version_number = 0;
    std::uint16_t originating_centre = 0;
    std::uint16_t originating_subcentre = 0;
};

// Follows alias files that stand where a table directory is expected.
Result<std::string> resolve_table_dir(const std::string& path);

std::string master_table_dir(const std::string& root, const TableRequest& message);
std::string local_table_dir(const std::string& root, const TableRequest& message);

Result<TableSet> load_definitions_tables(const std::string& root, const TableRequest& message);

}  // namespace corvena
