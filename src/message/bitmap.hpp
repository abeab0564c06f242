// Operators that do more than change how later elements are read:
// associated fields, operator items, data present bitmaps and the values
// read through them, and the cancelling operators.
#pragma once

#include <cstdint>
#include <optional>

#include "common/error.hpp"
#include "message/value.hpp"

namespace corvena {

// The bitmap change an operator item makes, applied after the item.
void apply_bitmap_change(unsigned x, std::uint8_t y, DecodeState& state);

// Applies 2-01, 2-02, 2-04, 2-06, 2-07 and 2-08 (OperatorClass::Setting).
void apply_operator_setting(unsigned x, std::uint8_t y, DecodeState& state);

// The element that the next present bitmap position refers to, with the
// changes a difference-statistics marker (2-25-255) makes when `difference`.
Result<std::optional<ElementView>> next_bitmap_target(DecodeState& state, bool difference);

// A bitmap entry from a 031031 value: clamped to 0..255, truncated.
std::uint8_t bitmap_entry(std::optional<double> value);


}  // namespace corvena
