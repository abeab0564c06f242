// Encoding section 4: the descriptor walk that decodes (walk.hpp), run with
// a policy that writes each value instead of reading it. Sequences,
// replications, every operator and bitmaps are therefore handled by the
// same code in both directions.
//
// The values come in the column form that decoding gives (DecodedArrays),
// in either layout: a decoded message is written again as it is, and the
// package builds the same form from values it is given. Each item of the
// input stands for one item of the output, in data order: elements,
// replication factors, associated fields, operator items (their values
// are not used), inserted characters and values read through a bitmap.
// The new reference values of 2-03-YYY, which are no items, come from the
// input's `new_references`.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "message/array_sink.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// What a refused value concerns: its subset in the message written (from
// 0), its place among the subset's items (from 0) and its descriptor.
struct EncodeFault {
    bool set = false;
    std::uint32_t subset = 0;
    std::uint64_t item = 0;
    std::uint32_t code = 0;
    std::string why;  // the error's text says where and why; this, why
};

// The data of section 4 (the octets after its first four) of a message
// of the unexpanded `descriptors` that holds the subsets `chosen` of
// `values`, in that order, compressed or not. Numbers are written as
// round(value * 10^scale) - reference in the width in force; NaN, and a
// missing text, as all ones. Compressed columns get the smallest
// increment width. A value that cannot be written fails with a
// TableParse error saying why, and `fault` says which value it is.
// `decoded` says that the values are a decoded message's: compressed data
// may hold numbers past their element's width (R0 plus an increment), and
// these are then written again as they were rather than refused.
Result<std::string> encode_section4(const DecodedArrays& values, std::span<const std::uint32_t> chosen,
                                    const TableSet& tables, std::span<const std::uint32_t> descriptors,
                                    bool compressed, bool decoded, EncodeFault& fault);

// The items a template holds for given delayed replication counts, in data
// order: the descriptor and the column-form flags of each (kFactor marks a
// replication factor). Data present indicators are taken as 0 (data
// present). When the counts run out, `complete` is false, the last item is
// the factor whose count is needed and `group` holds the descriptors it
// replicates.
struct Layout {
    static constexpr std::uint8_t kFactor = 1;
    std::vector<std::uint32_t> codes;
    std::vector<std::uint8_t> flags;
    bool complete = true;
    std::vector<std::uint32_t> group;
};

Result<Layout> lay_out(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                       std::span<const std::uint64_t> counts);

}  // namespace corvena
