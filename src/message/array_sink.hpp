// The sink that keeps decoded items as columns of plain numbers, for the
// array path: no record and no object per value.
//
// Uncompressed data: one entry per item, in result order, in parallel
// vectors (code, value, raw, flags, text index), and the index of the first
// item of each subset.
//
// Compressed data, where every subset has the same items: one entry per
// column (code, local reference R0, flags, scale and reference in force,
// text slot) and, per column, one value per subset, column after column.
// The value of subset s in column j is cells[j * subsets + s]; read as a
// (columns, subsets) block it is the subsets x items table transposed.
// That is 8 bytes per number kept: the raw value of a present cell is not
// stored, since rint(value * 10^scale) - reference gives it back exactly
// when |raw + reference| < 2^50 (the two roundings between them stay below
// a half); a missing cell's raw value is R0. Only columns whose numbers
// could be larger keep their increments (`wide_increments`, a block of one
// per subset for each such column; R0 + increment is the raw value).
//
// Values are NaN when missing; character items carry the running number as
// their value, as DecodedValue does, and an index into `texts` (-1 when the
// text is missing).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/descriptor.hpp"
#include "message/readers.hpp"
#include "message/value.hpp"

namespace corvena {

// An allocator whose vectors leave new numbers unset when they grow: the
// cells are written right after, so zeroing them first would be wasted.
template <class T>
struct Unset : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Unset<U>;
    };
    Unset() = default;
    template <class U>
    Unset(const Unset<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Cells = std::vector<double, Unset<double>>;

struct DecodedArrays {
    // Flags of an item (uncompressed) or of a column (compressed).
    static constexpr std::uint8_t kHasRaw = DecodedValue::kHasRaw;
    static constexpr std::uint8_t kHasText = DecodedValue::kHasText;  // a character item
    static constexpr std::uint8_t kLocal = 8;         // an element no table gave, read after 2-06-YYY
    static constexpr std::uint8_t kOperator = 16;     // an operator item (2-22-000, 2-36-000, ...)
    static constexpr std::uint8_t kBitmapValue = 32;  // a value read through a bitmap (2-23-255, ...)
    static constexpr std::uint8_t kMissing = 64;      // uncompressed only: a missing value or text
    static constexpr std::uint8_t kRescaled = 128;    // read with a scale or reference an operator set

    bool compressed = false;
    std::uint32_t subsets = 0;
    std::vector<std::string> texts;

    // Uncompressed: per item.
    std::vector<std::uint32_t> codes;
    std::vector<double> values;
    std::vector<std::uint64_t> raws;
    std::vector<std::uint8_t> flags;
    std::vector<std::int32_t> text_index;
    std::vector<std::uint64_t> subset_starts;

    // Compressed: per column, then per cell.
    std::vector<std::uint32_t> column_codes;
    std::vector<std::uint64_t> column_r0;
    std::vector<std::uint8_t> column_flags;
    std::vector<std::int32_t> column_text_slot;  // -1, or the index of its block in text_cells
    std::vector<std::int32_t> column_scale;      // the scale and reference in force for the column:
    std::vector<std::int64_t> column_reference;  // value = (R0 + increment + reference) / 10^scale
    std::vector<std::int32_t> column_wide_slot;  // -1, or the index of its block in wide_increments
    Cells cells;                                  // columns x subsets
    std::vector<std::uint64_t> wide_increments;   // wide columns x subsets
    std::vector<std::int32_t> text_cells;         // text columns x subsets

    // The new reference values that 2-03-YYY defined, in data order (they
    // are no items), and for uncompressed data the index of the first of
    // each subset's.
    std::vector<std::int64_t> new_references;
    std::vector<std::uint64_t> new_reference_starts;
};

// cells[s] = (shift + increments[s]) / p, NaN where the increment is all
// ones in `missing_bit` bits (63: none is missing), for increments below
// 2^50. Written for vector units: an increment becomes a double by setting
// the exponent bits of 2^52 and taking 2^52 away (they have no conversion
// from unsigned 64-bit integers before AVX-512), and a missing one is
// found by the carry of increment + 1 into bit `missing_bit` and masked,
// since a comparison of doubles would keep the loop scalar.
inline void scale_column(double* cells, const std::uint64_t* increments, unsigned subsets, double shift, double p,
                         unsigned missing_bit) {
    constexpr std::uint64_t kTwo52Bits = 0x4330000000000000;
    constexpr double kTwo52 = 4503599627370496.0;
    const std::uint64_t nan = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN());
    for (unsigned s = 0; s < subsets; ++s) {
        const std::uint64_t inc = increments[s];
        const double v = (shift + (std::bit_cast<double>(inc | kTwo52Bits) - kTwo52)) / p;
        const std::uint64_t keep = (((inc + 1) >> missing_bit) & 1) - 1;
        cells[s] = std::bit_cast<double>((std::bit_cast<std::uint64_t>(v) & keep) | (nan & ~keep));
    }
}

// Cell blocks of results no longer needed, kept (up to a bound) so that a
// run of decodes writes into memory already paged in instead of faulting in
// fresh pages for every message. Any thread may take and give back.
Cells take_cells();
void recycle_cells(DecodedArrays&& arrays);

class ArraySink {
public:
    struct SharedText {
        std::int32_t index;
    };

    // Meanings are looked up per distinct (code, raw) afterwards.
    static constexpr bool kWantsMeanings = false;

    ArraySink(DecodedArrays& out, bool compressed, std::uint32_t subsets) : out_(out) {
        out_.compressed = compressed;
        out_.subsets = subsets;
        if (compressed && out_.cells.capacity() == 0) out_.cells = take_cells();
    }

    void begin_subset() {
        out_.subset_starts.push_back(out_.codes.size());
        out_.new_reference_starts.push_back(out_.new_references.size());
    }
    void new_reference(std::int64_t value) { out_.new_references.push_back(value); }
    void begin_column(std::uint64_t r0) {
        pending_r0_ = r0;
        column_open_ = false;
    }

    void numeric(std::uint32_t code, const std::string* name, std::uint64_t raw, bool present, double value,
                 const std::string*) {
        // Uncompressed only: compressed numbers come as whole columns.
        const double v = present ? value : std::numeric_limits<double>::quiet_NaN();
        out_.codes.push_back(code);
        out_.values.push_back(v);
        out_.raws.push_back(raw);
        out_.flags.push_back(static_cast<std::uint8_t>(DecodedArrays::kHasRaw | local_flag(name) |
                                                       (present ? 0 : DecodedArrays::kMissing)));
        out_.text_index.push_back(-1);
    }

    // The item (or column) just given was read through a bitmap.
    void mark_bitmap_value() { mark(DecodedArrays::kBitmapValue); }
    // ... or with a scale or reference that an operator set.
    void mark_rescaled() { mark(DecodedArrays::kRescaled); }

    void numeric_column(const NumericColumn& col) {
        if (col.subsets == 0) return;
        open_column(col.code, static_cast<std::uint8_t>(DecodedArrays::kHasRaw | local_flag(col.name)));
        out_.column_scale.back() = col.scale;
        out_.column_reference.back() = col.reference;
        const std::size_t at = out_.cells.size();
        out_.cells.resize(at + col.subsets);
        double* cells = out_.cells.data() + at;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (col.all_missing) {
            for (unsigned s = 0; s < col.subsets; ++s) cells[s] = nan;
            return;
        }
        const bool check = col.missing_allowed && col.nbinc != 0;
        const double p = power_of_ten(col.scale);
        const std::int64_t ref = col.reference;
        const std::uint64_t base = col.base;
        if (fits_exactly(col)) {
            // The common case, kept free of branches: base + reference and
            // each sum stay below 2^50, so adding in doubles is exact and
            // every value is the one scaled_value gives.
            const double shift = static_cast<double>(static_cast<std::int64_t>(base) + ref);
            if (col.nbinc == 0) {
                std::fill(cells, cells + col.subsets, shift / p);
                return;
            }
            scale_column(cells, col.increments, col.subsets, shift, p, check ? col.nbinc : 63);
            return;
        }
        for (unsigned s = 0; s < col.subsets; ++s) {
            const std::uint64_t inc = col.increments[s];
            cells[s] = check && inc == col.inc_missing ? nan : scaled_value(ref, base + inc, col.scale);
        }
        out_.column_wide_slot.back() =
            static_cast<std::int32_t>(out_.wide_increments.size() / col.subsets);
        for (unsigned s = 0; s < col.subsets; ++s) {
            const std::uint64_t inc = col.increments[s];
            out_.wide_increments.push_back(check && inc == col.inc_missing ? 0 : inc);
        }
    }

    void text(std::uint32_t code, const std::string*, double number, std::string_view octets) {
        std::string& pool = scratch_;
        pool.clear();
        const std::int32_t index =
            text_from_octets(octets, pool) ? add_text(std::move(pool)) : -1;
        text_item(code, number, index);
    }

    SharedText share_text(std::string_view octets) {
        std::string pool;
        return SharedText{text_from_octets(octets, pool) ? add_text(std::move(pool)) : -1};
    }

    void text_shared(std::uint32_t code, const std::string*, double number, const SharedText& shared) {
        text_item(code, number, shared.index);
    }

    void op(std::uint32_t code) {
        constexpr auto kFlags = static_cast<std::uint8_t>(DecodedArrays::kHasRaw | DecodedArrays::kOperator);
        if (out_.compressed) {
            open_column(code, kFlags);
            out_.cells.push_back(0.0);
            return;
        }
        out_.codes.push_back(code);
        out_.values.push_back(0.0);
        out_.raws.push_back(0);
        out_.flags.push_back(kFlags);
        out_.text_index.push_back(-1);
    }

    void associated(std::uint64_t raw) {
        // Uncompressed only: compressed associated fields are numeric columns.
        out_.codes.push_back(kAssociatedFieldCode);
        out_.values.push_back(static_cast<double>(raw));
        out_.raws.push_back(raw);
        out_.flags.push_back(DecodedArrays::kHasRaw);
        out_.text_index.push_back(-1);
    }

    // Room for `items` items (a guess, or the count of a message counted
    // first), or for a compressed message `items` columns.
    void reserve(std::uint64_t items) {
        if (out_.compressed) {
            out_.column_codes.reserve(items);
            out_.column_r0.reserve(items);
            out_.column_flags.reserve(items);
            out_.column_text_slot.reserve(items);
            out_.column_scale.reserve(items);
            out_.column_reference.reserve(items);
            out_.column_wide_slot.reserve(items);
            out_.cells.reserve(std::min<std::uint64_t>(items * out_.subsets, std::uint64_t{1} << 22));
        } else {
            out_.codes.reserve(items);
            out_.values.reserve(items);
            out_.raws.reserve(items);
            out_.flags.reserve(items);
            out_.text_index.reserve(items);
        }
    }

private:
    void mark(std::uint8_t flag) {
        if (out_.compressed) {
            // A message of no subsets opens no column.
            if (column_open_) out_.column_flags.back() |= flag;
        } else if (!out_.flags.empty()) {
            out_.flags.back() |= flag;
        }
    }

    static std::uint8_t local_flag(const std::string* name) {
        return name == &local_element_name() ? DecodedArrays::kLocal : 0;
    }

    std::int32_t add_text(std::string&& text) {
        out_.texts.push_back(std::move(text));
        return static_cast<std::int32_t>(out_.texts.size() - 1);
    }

    void text_item(std::uint32_t code, double number, std::int32_t index) {
        if (out_.compressed) {
            if (!column_open_) {
                open_column(code, DecodedArrays::kHasText);
                out_.column_text_slot.back() =
                    static_cast<std::int32_t>(out_.text_cells.size() / (out_.subsets ? out_.subsets : 1));
            }
            out_.cells.push_back(number);
            out_.text_cells.push_back(index);
            return;
        }
        out_.codes.push_back(code);
        out_.values.push_back(number);
        out_.raws.push_back(0);
        out_.flags.push_back(static_cast<std::uint8_t>(index < 0 ? DecodedArrays::kHasText | DecodedArrays::kMissing
                                                                 : DecodedArrays::kHasText));
        out_.text_index.push_back(index);
    }

    void open_column(std::uint32_t code, std::uint8_t flags) {
        if (column_open_) return;
        column_open_ = true;
        out_.column_codes.push_back(code);
        out_.column_r0.push_back(pending_r0_);
        out_.column_flags.push_back(flags);
        out_.column_text_slot.push_back(-1);
        out_.column_scale.push_back(0);
        out_.column_reference.push_back(0);
        out_.column_wide_slot.push_back(-1);
    }

    // Whether every number of the column, |R0 + increment + reference|,
    // stays below 2^50, so that its raw value follows from its value.
    static bool fits_exactly(const NumericColumn& col) {
        constexpr std::uint64_t kLimit = std::uint64_t{1} << 50;
        const std::uint64_t largest_inc = col.nbinc >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << col.nbinc) - 1;
        if (col.base >= kLimit || largest_inc >= kLimit) return false;
        const std::uint64_t top = col.base + largest_inc;
        const std::int64_t ref = col.reference;
        if (ref <= -static_cast<std::int64_t>(kLimit) || ref >= static_cast<std::int64_t>(kLimit)) return false;
        const std::int64_t hi = static_cast<std::int64_t>(top) + ref;
        const std::int64_t lo = static_cast<std::int64_t>(col.base) + ref;
        return hi < static_cast<std::int64_t>(kLimit) && lo > -static_cast<std::int64_t>(kLimit);
    }

    DecodedArrays& out_;
    std::uint64_t pending_r0_ = 0;
    bool column_open_ = false;
    std::string scratch_;
};

}  // namespace corvena
