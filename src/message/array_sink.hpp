// The sink that keeps decoded items as columns of plain numbers, for the
// array path: no record and no object per value.
//
// Uncompressed data: one entry per item, in result order, in parallel
// vectors (code, value, raw, flags, text index), and the index of the first
// item of each subset.
//
// Compressed data, where every subset has the same items: one entry per
// column (code, local reference R0, flags, text slot) and, per column, one
// value and one increment per subset, column after column. The value of
// subset s in column j is values[j * subsets + s]; read as a (columns,
// subsets) block it is the subsets x items table transposed. Increments are
// kept in the narrowest unsigned width that holds them (16, 32 or 64 bits):
// with the values that makes about 10 bytes per number kept. The raw value
// of a cell is R0 + increment when present and R0 when missing.
//
// Values are NaN when missing; character items carry the running number as
// their value, as DecodedValue does, and an index into `texts` (-1 when the
// text is missing).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/descriptor.hpp"
#include "message/readers.hpp"
#include "message/value.hpp"

namespace corvena {

// Unsigned integers stored 16, 32 or 64 bits wide, widened (once, with a
// copy) when a value does not fit.
class NarrowUInts {
public:
    unsigned bits() const { return bits_; }
    std::size_t size() const { return size_; }
    void reserve(std::size_t n) {
        if (bits_ == 16) v16_.reserve(n);
        else if (bits_ == 32) v32_.reserve(n);
        else v64_.reserve(n);
    }
    void push(std::uint64_t v) {
        if (bits_ == 16) {
            if (v <= 0xFFFF) {
                v16_.push_back(static_cast<std::uint16_t>(v));
                ++size_;
                return;
            }
            widen(v <= 0xFFFFFFFFull ? 32 : 64);
        }
        if (bits_ == 32) {
            if (v <= 0xFFFFFFFFull) {
                v32_.push_back(static_cast<std::uint32_t>(v));
                ++size_;
                return;
            }
            widen(64);
        }
        v64_.push_back(v);
        ++size_;
    }
    void append_zeros(std::size_t n) {
        if (bits_ == 16) v16_.resize(v16_.size() + n, 0);
        else if (bits_ == 32) v32_.resize(v32_.size() + n, 0);
        else v64_.resize(v64_.size() + n, 0);
        size_ += n;
    }
    // Appends `n` increments of `width` bits; the one equal to `missing`
    // stands for a missing value and is kept as 0.
    void append(const std::uint64_t* v, std::size_t n, unsigned width, std::uint64_t missing) {
        const unsigned need = width <= 16 ? 16 : width <= 32 ? 32 : 64;
        if (need > bits_) widen(need);
        if (bits_ == 16) fill(v16_, v, n, missing);
        else if (bits_ == 32) fill(v32_, v, n, missing);
        else fill(v64_, v, n, missing);
        size_ += n;
    }
    const void* data() const {
        if (bits_ == 16) return v16_.data();
        if (bits_ == 32) return v32_.data();
        return v64_.data();
    }
    std::size_t byte_size() const { return size_ * (bits_ / 8); }

private:
    template <class T>
    static void fill(std::vector<T>& dst, const std::uint64_t* v, std::size_t n, std::uint64_t missing) {
        const std::size_t at = dst.size();
        dst.resize(at + n);
        T* p = dst.data() + at;
        for (std::size_t i = 0; i < n; ++i) p[i] = v[i] == missing ? T{0} : static_cast<T>(v[i]);
    }

    void widen(unsigned to) {
        if (to == 32) {
            v32_.assign(v16_.begin(), v16_.end());
        } else if (bits_ == 16) {
            v64_.assign(v16_.begin(), v16_.end());
        } else {
            v64_.assign(v32_.begin(), v32_.end());
        }
        std::vector<std::uint16_t>().swap(v16_);
        if (to == 64) std::vector<std::uint32_t>().swap(v32_);
        bits_ = to;
    }

    unsigned bits_ = 16;
    std::size_t size_ = 0;
    std::vector<std::uint16_t> v16_;
    std::vector<std::uint32_t> v32_;
    std::vector<std::uint64_t> v64_;
};

struct DecodedArrays {
    static constexpr std::uint8_t kHasRaw = DecodedValue::kHasRaw;
    static constexpr std::uint8_t kHasText = DecodedValue::kHasText;  // a character item

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
    std::vector<double> cells;                    // columns x subsets
    NarrowUInts increments;                       // columns x subsets
    std::vector<std::int32_t> text_cells;         // text columns x subsets
};

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
    }

    void begin_subset() { out_.subset_starts.push_back(out_.codes.size()); }
    void begin_column(std::uint64_t r0) {
        pending_r0_ = r0;
        column_open_ = false;
    }

    void numeric(std::uint32_t code, const std::string*, std::uint64_t raw, bool present, double value,
                 const std::string*) {
        const double v = present ? value : std::numeric_limits<double>::quiet_NaN();
        if (out_.compressed) {
            open_column(code, DecodedArrays::kHasRaw);
            out_.cells.push_back(v);
            out_.increments.push(present ? raw - pending_r0_ : 0);
            return;
        }
        out_.codes.push_back(code);
        out_.values.push_back(v);
        out_.raws.push_back(raw);
        out_.flags.push_back(DecodedArrays::kHasRaw);
        out_.text_index.push_back(-1);
    }

    void numeric_column(const NumericColumn& col) {
        if (col.subsets == 0) return;
        open_column(col.code, DecodedArrays::kHasRaw);
        out_.column_scale.back() = col.scale;
        out_.column_reference.back() = col.reference;
        const std::size_t at = out_.cells.size();
        out_.cells.resize(at + col.subsets);
        double* cells = out_.cells.data() + at;
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (col.all_missing) {
            for (unsigned s = 0; s < col.subsets; ++s) cells[s] = nan;
            out_.increments.append_zeros(col.subsets);
            return;
        }
        const bool check = col.missing_allowed && col.nbinc != 0;
        for (unsigned s = 0; s < col.subsets; ++s) {
            const std::uint64_t inc = col.increments[s];
            cells[s] = check && inc == col.inc_missing ? nan : scaled_value(col.reference, col.base + inc, col.scale);
        }
        out_.increments.append(col.increments, col.subsets, col.nbinc, check ? col.inc_missing : ~std::uint64_t{0});
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
        if (out_.compressed) {
            open_column(code, DecodedArrays::kHasRaw);
            out_.cells.push_back(0.0);
            out_.increments.push(0);
            return;
        }
        out_.codes.push_back(code);
        out_.values.push_back(0.0);
        out_.raws.push_back(0);
        out_.flags.push_back(DecodedArrays::kHasRaw);
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

    // Room for `items` more items (the count of a message counted first).
    void reserve(std::uint64_t items) {
        if (out_.compressed) {
            out_.cells.reserve(items);
            out_.increments.reserve(items);
        } else {
            out_.codes.reserve(items);
            out_.values.reserve(items);
            out_.raws.reserve(items);
            out_.flags.reserve(items);
            out_.text_index.reserve(items);
        }
    }

private:
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
            out_.increments.push(0);
            out_.text_cells.push_back(index);
            return;
        }
        out_.codes.push_back(code);
        out_.values.push_back(number);
        out_.raws.push_back(0);
        out_.flags.push_back(DecodedArrays::kHasText);
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
    }

    DecodedArrays& out_;
    std::uint64_t pending_r0_ = 0;
    bool column_open_ = false;
    std::string scratch_;
};

}  // namespace corvena
