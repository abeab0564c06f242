// Expansion of descriptor lists into the flat codes of the data items:
// sequences replaced by their members, fixed replications unrolled, delayed
// replications reduced to their factor and one copy of the group.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "tables/table_set.hpp"

namespace corvena {

constexpr unsigned kMaxExpansionDepth = 64;
// Nested fixed replications multiply: 64 levels of 255 repetitions would
// never end. An expansion stops with an error beyond this many codes.
constexpr std::size_t kMaxExpandedCodes = std::size_t{1} << 25;

struct ExpansionState {
    std::uint8_t associated_width = 0;
    std::size_t repetitions = 0;  // fixed-replication groups expanded so far
};

Status expand_into(const TableSet& tables, std::span<const std::uint32_t> codes, unsigned level,
                   ExpansionState& state, std::vector<std::uint32_t>& out);

Result<std::vector<std::uint32_t>> expand(const TableSet& tables, std::span<const std::uint32_t> codes);

}  // namespace corvena
