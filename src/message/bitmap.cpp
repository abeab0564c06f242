#include "message/bitmap.hpp"

#include <cmath>

#include "common/descriptor.hpp"

namespace corvena {

void apply_bitmap_change(unsigned x, std::uint8_t y, DecodeState& state) {
    if (x == 36 && y == 0) {
        state.defining_bitmap = true;
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        // Like a bitmap defined after 2-22-000 to 2-32-000, it refers to the
        // data before the first of those operators (or this one), not to
        // quality information or statistics that came since.
        state.bitmap_anchor = state.data_end.value_or(state.history.size());
    } else if ((x == 35 && y == 0) || (x == 37 && y != 0)) {
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        state.bitmap_anchor = 0;
    } else if (x == 37 && y == 0) {
        state.bitmap_cursor = 0;
    }
}

void apply_operator_setting(unsigned x, std::uint8_t y, DecodeState& state) {
    const std::int32_t delta = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
    switch (x) {
    case 1:
        state.width_change = delta;
        return;
    case 2:
        state.scale_change = delta;
        return;
    case 4:
        state.associated_width = y;
        return;
    case 6:
        state.local_width = y;
        return;
    case 7:
        if (y > 0) {
            state.scale_change = y;
            state.width_change = (10 * y + 2) / 3;
            std::uint64_t m = 1;
            for (unsigned k = 0; k < y; ++k) m *= 10;  // wraps like the reference product
            state.reference_multiplier = static_cast<std::int64_t>(m);
        } else {
            state.width_change = 0;
            state.scale_change = 0;
            state.reference_multiplier = 1;
        }
        return;
    case 8:
        if (y > 0) state.character_width = static_cast<std::uint16_t>(8u * y);
        else state.character_width.reset();
        return;
    default:
        return;
    }
}

Result<std::optional<ElementView>> next_bitmap_target(DecodeState& state, bool difference) {
    const std::uint64_t len = state.bitmap.size();
    if (len == 0) return std::optional<ElementView>();
    for (std::uint64_t i = state.bitmap_cursor; i < len; ++i) {
        state.bitmap_cursor = i + 1;
        if (state.bitmap[i] == 1) continue;
        const std::uint64_t anchor = state.bitmap_anchor;
        const std::uint64_t index = i + anchor - (anchor < len ? anchor : len);
        if (index >= state.history.size()) {
            return BufrError::table_parse("bitmap reference is outside descriptor history");
        }
        ElementView view = ElementView::of(*state.history[index]);
        if (difference) {
            const std::uint16_t w = view.width;
            view.reference = w >= 63 ? INT64_MIN : -(std::int64_t{1} << w);
            view.width = w == 0xFFFF ? w : static_cast<std::uint16_t>(w + 1);
            view.difference = true;
        }
        return std::optional<ElementView>(view);
    }
    return std::optional<ElementView>();
}

std::uint8_t bitmap_entry(std::optional<double> value) {
    if (!value) return 0;
    const double v = std::trunc(*value);
    if (!(v > 0)) return 0;  // negative and NaN
    if (v >= 255) return 255;
    return static_cast<std::uint8_t>(v);
}

}  // namespace corvena
