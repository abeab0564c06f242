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

// The rows of one decoded message: `element` gives the element of each
// item, or of each column of a compressed message.
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

// What a table of elements by descriptor holds for a descriptor not looked
// up yet.
constexpr std::int16_t kUnknownElement = -2;

// The element of each item of `d`, or of each column of a compressed
// message, by its descriptor: `lut` holds the element of each descriptor
// below its size (negative: none); descriptors beyond it fill none.
std::vector<std::int16_t> elements_of(const DecodedArrays& d, std::span<const std::int16_t> lut);

// The distinct descriptors of the items of `parts` that `lut` holds as
// kUnknownElement, in rising order.
std::vector<std::uint32_t> unknown_codes(std::span<const DecodedArrays* const> parts,
                                         std::span<const std::int16_t> lut);

// The rows of several messages, one after the other.
struct RowBatch {
    std::size_t width = 0;
    std::vector<RowLayout> layouts;  // one per message
    std::vector<std::uint8_t> seen;  // per key: whether any message holds it

    std::size_t size() const;
};

// The layouts of the rows of `parts`, their elements found through `lut`;
// false where lay_out_rows refuses one, or a descriptor is kUnknownElement.
bool lay_out_batch(std::span<const DecodedArrays* const> parts, std::span<const std::int16_t> lut,
                   std::span<const std::int32_t> key_of, std::size_t width, std::span<const std::uint8_t> required,
                   RowBatch& out);

// The rows of `batch` written out key after key, each span holding
// batch.size() numbers per key it covers: the message (index into `parts`)
// of each row, the value of each key (NaN: absent, missing or characters),
// whether the row holds each key, and the item position (within its
// message) of each key that `positions` marks (-1: absent).
void fill_batch(std::span<const DecodedArrays* const> parts, const RowBatch& batch,
                std::span<const std::uint8_t> positions, std::span<std::int64_t> messages, std::span<double> values,
                std::span<std::uint8_t> present, std::span<std::int64_t> items);

// The text of item `item` of `d` (counted subset after subset); null for
// an item without one (missing, or not a character item).
const std::string* text_at(const DecodedArrays& d, std::int64_t item);

}  // namespace corvena
