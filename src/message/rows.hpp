// Rows of observations from the items of decoded subsets. Each item names
// the element it fills (or none); within a subset the elements met so far
// stay in force, and an element met again ends the row built so far: the
// row is given out, and the element and every element set after it are
// dropped before the new value is taken. The last row of a subset is given
// out at its end; nothing carries from one subset to the next.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "message/array_sink.hpp"

namespace corvena {

struct Rows {
    std::size_t width = 0;
    // For each row, the position of the item of each key (-1: absent).
    std::vector<std::int64_t> items;
    // The subset of each row.
    std::vector<std::int64_t> subsets;
};

// The rows of the subsets of a message (or of messages joined): `element`
// gives each item's element (negative: none), `starts` where each subset
// starts and then the item count, `key_of` the key (0 to width - 1) of each
// element; of two elements of one key in a row, the later one fills it.
// Elements out of the range of `key_of`, and starts that do not rise within
// the items, are refused (false).
bool form_rows(std::span<const std::int16_t> element, std::span<const std::int64_t> starts,
               std::span<const std::int32_t> key_of, std::size_t width, Rows& out);

// The rows of a decoded message (or of messages joined): `element` gives
// the element of each item, or of each column of a compressed message.
// Items read through a bitmap (statistics, substitutes, replaced values)
// fill no key: they carry the descriptor of the element they refer to, but
// are no observation of it. Rows without an item of every key that
// `required` marks (one byte per key, or none) are left out.
struct RowLayout {
    // The rows as form_rows gives them: of the whole message, or, when
    // `shared`, of one subset of a compressed message (items then being
    // column numbers), which every subset repeats.
    Rows rows;
    bool shared = false;
    std::size_t subsets = 0;  // shared: the subsets, and the columns of each
    std::size_t columns = 0;
    // For each key, whether an item (read through a bitmap or not) is of one
    // of its elements.
    std::vector<std::uint8_t> seen;

    std::size_t size() const { return shared ? rows.subsets.size() * subsets : rows.subsets.size(); }
};

// The layout of the rows of `d`; false where form_rows refuses, or where
// `element` or `required` is of the wrong length.
bool lay_out_rows(const DecodedArrays& d, std::span<const std::int16_t> element,
                  std::span<const std::int32_t> key_of, std::size_t width, std::span<const std::uint8_t> required,
                  RowLayout& out);

// The rows of `layout` written out column by column, each span holding
// layout.size() numbers per key it covers: the subset of each row, the value
// of each key (NaN: absent, missing or characters), whether the row holds
// each key, and the item position of each key that `positions` marks (-1:
// absent) one after the other.
void fill_rows(const DecodedArrays& d, const RowLayout& layout, std::span<const std::uint8_t> positions,
               std::span<std::int64_t> subsets, std::span<double> values, std::span<std::uint8_t> present,
               std::span<std::int64_t> items);

}  // namespace corvena
