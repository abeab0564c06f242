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

}  // namespace corvena
