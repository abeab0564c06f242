// What the column form of a decoded message gives back on demand: the raw
// value of a compressed cell, the meaning of a code or flag figure, and the
// same message as DecodedValue records. The package keeps one decoded
// message in column form and makes every other form from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/array_sink.hpp"
#include "message/value.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// The exact integer R0 + increment + reference of subset `s` in column `j`
// of a compressed message (kept for wide columns, else given back by the
// value: see the array sink). Not for a missing cell.
__int128 cell_units(const DecodedArrays& d, std::size_t j, std::size_t s);

// The raw value of subset `s` in column `j` of a compressed message: R0
// for a missing cell, 0 for a column without raw values (characters).
std::uint64_t cell_raw(const DecodedArrays& d, std::size_t j, std::size_t s);

// The raw value of every item of a compressed message, in result order
// (subset after subset).
std::vector<std::uint64_t> raws_by_item(const DecodedArrays& d);

// The meaning of code table figure `raw`, or, for a flag table of `width`
// bits, of its set bits (counted from 1 at the left, "bit N" where the
// table has no entry) joined with "; ". False when there is none.
bool figure_meaning(const TableSet& tables, std::uint32_t code, std::uint64_t raw, bool flag, unsigned width,
                    std::string& out);

// The name of an item of `code` with the flags of the column form: the
// fixed name of an operator item, an associated field, inserted characters
// or a local element, else the element's name in `tables`.
const std::string& item_name(const TableSet& tables, std::uint32_t code, std::uint8_t flags);

// The decoded message as DecodedValue records, exactly as the item sink
// gives them: names from the tables (or the fixed names of operator
// items, associated fields, inserted characters and local elements), and
// the code table meaning of every numeric item.
DecodedValues as_decoded_values(const DecodedArrays& d, const TableSet& tables);

}  // namespace corvena
