#include "message/rows.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace corvena {

bool form_rows(std::span<const std::int16_t> element, std::span<const std::int64_t> starts,
               std::span<const std::int32_t> key_of, std::size_t width, Rows& out) {
    out.width = width;
    out.items.clear();
    out.subsets.clear();
    for (const std::int32_t k : key_of) {
        if (k < 0 || static_cast<std::size_t>(k) >= width) return false;
    }
    const std::int64_t n = static_cast<std::int64_t>(element.size());
    for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
        if (starts[s] < 0 || starts[s] > starts[s + 1] || starts[s + 1] > n) return false;
    }
    // The live elements, oldest first, with the position of their value;
    // where each element stands among them (-1: not live).
    std::vector<std::pair<std::int32_t, std::int64_t>> live;
    std::vector<std::int32_t> place(key_of.size(), -1);
    auto give_row = [&](std::size_t subset) {
        const std::size_t at = out.items.size();
        out.items.resize(at + width, -1);
        for (const auto& [e, pos] : live) out.items[at + static_cast<std::size_t>(key_of[e])] = pos;
        out.subsets.push_back(static_cast<std::int64_t>(subset));
    };
    for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
        for (std::int64_t p = starts[s]; p < starts[s + 1]; ++p) {
            const std::int32_t e = element[static_cast<std::size_t>(p)];
            if (e < 0) continue;
            if (static_cast<std::size_t>(e) >= key_of.size()) return false;
            if (place[e] >= 0) {
                const auto cut = static_cast<std::size_t>(place[e]);
                give_row(s);
                for (std::size_t i = cut; i < live.size(); ++i) place[live[i].first] = -1;
                live.resize(cut);
            }
            place[e] = static_cast<std::int32_t>(live.size());
            live.emplace_back(e, p);
        }
        if (!live.empty()) {
            give_row(s);
            for (const auto& entry : live) place[entry.first] = -1;
            live.clear();
        }
    }
    return true;
}

namespace {

// `element` with the items whose flags mark a value read through a bitmap
// set to none.
std::vector<std::int16_t> without_bitmap_values(std::span<const std::int16_t> element,
                                                std::span<const std::uint8_t> flags) {
    std::vector<std::int16_t> out(element.begin(), element.end());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (flags[i] & DecodedArrays::kBitmapValue) out[i] = -1;
    }
    return out;
}

// Which keys the elements of `element` fill (out of range: false).
bool keys_seen(std::span<const std::int16_t> element, std::span<const std::int32_t> key_of, std::size_t width,
               std::vector<std::uint8_t>& seen) {
    seen.assign(width, 0);
    for (const std::int16_t e : element) {
        if (e < 0) continue;
        if (static_cast<std::size_t>(e) >= key_of.size()) return false;
        const std::int32_t k = key_of[static_cast<std::size_t>(e)];
        if (k < 0 || static_cast<std::size_t>(k) >= width) return false;
        seen[static_cast<std::size_t>(k)] = 1;
    }
    return true;
}

// Leaves out the rows of `rows` (items and subsets) without an item of
// every key `required` marks.
void keep_complete(Rows& rows, std::span<const std::uint8_t> required) {
    std::vector<std::size_t> keys;
    for (std::size_t k = 0; k < required.size(); ++k) {
        if (required[k]) keys.push_back(k);
    }
    if (keys.empty() || rows.width == 0) return;
    const std::size_t w = rows.width;
    std::size_t kept = 0;
    for (std::size_t r = 0; r < rows.subsets.size(); ++r) {
        const std::int64_t* row = rows.items.data() + r * w;
        bool complete = true;
        for (const std::size_t k : keys) complete = complete && row[k] >= 0;
        if (!complete) continue;
        if (kept != r) {
            std::copy(row, row + w, rows.items.begin() + static_cast<std::ptrdiff_t>(kept * w));
            rows.subsets[kept] = rows.subsets[r];
        }
        ++kept;
    }
    rows.items.resize(kept * w);
    rows.subsets.resize(kept);
}

}  // namespace

bool lay_out_rows(const DecodedArrays& d, std::span<const std::int16_t> element,
                  std::span<const std::int32_t> key_of, std::size_t width, std::span<const std::uint8_t> required,
                  RowLayout& out) {
    if (!required.empty() && required.size() != width) return false;
    if (!keys_seen(element, key_of, width, out.seen)) return false;
    out.shared = d.compressed;
    if (!d.compressed) {
        if (element.size() != d.codes.size() || d.flags.size() != d.codes.size() ||
            d.values.size() != d.codes.size()) {
            return false;
        }
        const auto own = without_bitmap_values(element, d.flags);
        std::vector<std::int64_t> starts(d.subset_starts.begin(), d.subset_starts.end());
        starts.push_back(static_cast<std::int64_t>(d.codes.size()));
        if (!form_rows(own, starts, key_of, width, out.rows)) return false;
        keep_complete(out.rows, required);
        return true;
    }
    // Compressed: every subset holds the same items, so the rows of the
    // columns, once, are the rows of each subset; so is which of them are
    // complete.
    out.columns = d.column_codes.size();
    out.subsets = d.subsets;
    if (element.size() != out.columns || d.column_flags.size() != out.columns ||
        d.cells.size() != out.columns * out.subsets) {
        return false;
    }
    const auto own = without_bitmap_values(element, d.column_flags);
    const std::int64_t bounds[2] = {0, static_cast<std::int64_t>(out.columns)};
    if (!form_rows(own, bounds, key_of, width, out.rows)) return false;
    keep_complete(out.rows, required);
    return true;
}

std::vector<std::int16_t> elements_of(const DecodedArrays& d, std::span<const std::int16_t> lut) {
    const auto& codes = d.compressed ? d.column_codes : d.codes;
    std::vector<std::int16_t> out(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) out[i] = codes[i] < lut.size() ? lut[codes[i]] : -1;
    return out;
}

std::vector<std::uint32_t> unknown_codes(std::span<const DecodedArrays* const> parts,
                                         std::span<const std::int16_t> lut) {
    std::vector<std::uint32_t> out;
    for (const DecodedArrays* d : parts) {
        for (const std::uint32_t code : d->compressed ? d->column_codes : d->codes) {
            if (code < lut.size() && lut[code] == kUnknownElement) out.push_back(code);
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::size_t RowBatch::size() const {
    std::size_t n = 0;
    for (const auto& layout : layouts) n += layout.size();
    return n;
}

bool lay_out_batch(std::span<const DecodedArrays* const> parts, std::span<const std::int16_t> lut,
                   std::span<const std::int32_t> key_of, std::size_t width, std::span<const std::uint8_t> required,
                   RowBatch& out) {
    out.width = width;
    out.layouts.assign(parts.size(), {});
    out.seen.assign(width, 0);
    for (std::size_t m = 0; m < parts.size(); ++m) {
        const auto element = elements_of(*parts[m], lut);
        if (std::find(element.begin(), element.end(), kUnknownElement) != element.end()) return false;
        if (!lay_out_rows(*parts[m], element, key_of, width, required, out.layouts[m])) return false;
        for (std::size_t k = 0; k < width; ++k) out.seen[k] |= out.layouts[m].seen[k];
    }
    return true;
}

namespace {

// The rows of one message written at row `base` of columns `stride` rows long.
void fill_rows(const DecodedArrays& d, const RowLayout& layout, std::span<const std::uint8_t> positions,
               std::size_t base, std::size_t stride, double* values, std::uint8_t* present, std::int64_t* items) {
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    const Rows& rows = layout.rows;
    const std::size_t w = rows.width;
    const std::size_t per = rows.subsets.size();  // shared: the rows of one subset
    const std::size_t n = layout.shared ? layout.subsets : 1;
    std::size_t marked = 0;
    for (std::size_t k = 0; k < w; ++k) {
        double* value = values + k * stride + base;
        std::uint8_t* held = present + k * stride + base;
        std::int64_t* item = nullptr;
        if (k < positions.size() && positions[k]) item = items + (marked++) * stride + base;
        for (std::size_t r = 0; r < per; ++r) {
            const std::int64_t at = rows.items[r * w + k];
            if (!layout.shared) {
                value[r] = at < 0 ? kNone : d.values[static_cast<std::size_t>(at)];
                held[r] = at >= 0;
                if (item) item[r] = at;
                continue;
            }
            // A column of the block: its cell in each subset.
            const double* cells = at < 0 ? nullptr : d.cells.data() + static_cast<std::size_t>(at) * n;
            for (std::size_t s = 0; s < n; ++s) {
                const std::size_t row = s * per + r;
                value[row] = cells ? cells[s] : kNone;
                held[row] = cells != nullptr;
                if (item) item[row] = at < 0 ? -1 : static_cast<std::int64_t>(s * layout.columns) + at;
            }
        }
    }
}

}  // namespace

void fill_batch(std::span<const DecodedArrays* const> parts, const RowBatch& batch,
                std::span<const std::uint8_t> positions, std::span<std::int64_t> messages, std::span<double> values,
                std::span<std::uint8_t> present, std::span<std::int64_t> items) {
    const std::size_t stride = batch.size();
    std::size_t base = 0;
    for (std::size_t m = 0; m < parts.size(); ++m) {
        const RowLayout& layout = batch.layouts[m];
        const std::size_t size = layout.size();
        std::fill_n(messages.begin() + static_cast<std::ptrdiff_t>(base), size, static_cast<std::int64_t>(m));
        fill_rows(*parts[m], layout, positions, base, stride, values.data(), present.data(), items.data());
        base += size;
    }
}

const std::string* text_at(const DecodedArrays& d, std::int64_t item) {
    if (item < 0) return nullptr;
    const auto at = static_cast<std::size_t>(item);
    std::int32_t index = -1;
    if (!d.compressed) {
        if (at < d.text_index.size()) index = d.text_index[at];
    } else if (!d.column_codes.empty()) {
        const std::size_t m = d.column_codes.size();
        const std::size_t j = at % m, s = at / m;
        const std::int32_t slot = j < d.column_text_slot.size() ? d.column_text_slot[j] : -1;
        const std::size_t cell = static_cast<std::size_t>(slot) * d.subsets + s;
        if (slot >= 0 && s < d.subsets && cell < d.text_cells.size()) index = d.text_cells[cell];
    }
    if (index < 0 || static_cast<std::size_t>(index) >= d.texts.size()) return nullptr;
    return &d.texts[static_cast<std::size_t>(index)];
}

}  // namespace corvena
