// The two ways of reading values that the descriptor walk is given:
// uncompressed data holds one field per element occurrence, compressed data
// a column (a local reference, an increment width, an increment per
// subset). Both hand what they read to a `Sink`, which decides where the
// items go:
//   void begin_column(std::uint64_t r0)         (compressed: before each column, with its
//                                                local reference; 0 for texts and operators)
//   void numeric(code, const std::string* name, std::uint64_t raw, bool present,
//                double value, const std::string* meaning)
//   void text(code, const std::string* name, double running_number, std::string_view octets)
//   void text_shared(code, name, double running_number, const SharedText&)   (compressed, NBINC 0)
//   SharedText share_text(std::string_view octets)
//   void numeric_column(const NumericColumn&)   (compressed numeric columns)
//   void op(code)
//   void associated(std::uint64_t raw)
//   void mark_bitmap_value()                   (the item or column just given was read through a bitmap)
//   void mark_rescaled()                       (the numbers just given were read with another scale or
//                                                reference than their element's, set by an operator)
//   static constexpr bool kWantsMeanings       (code and flag table texts per item)
// and, where it keeps them, void new_reference(std::int64_t) for each new
// reference value that 2-03-YYY defines.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "bitstream/bit_reader.hpp"
#include "common/descriptor.hpp"
#include "message/value.hpp"
#include "message/walk.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// One compressed numeric column as read: the local reference, the
// increment width and the increments of every subset.
struct NumericColumn {
    std::uint32_t code;
    const std::string* name;
    std::uint64_t base;
    std::uint16_t nbinc;
    bool all_missing;
    bool missing_allowed;
    std::uint64_t inc_missing;
    std::int64_t reference;
    std::int32_t scale;
    const CodeTable* table;  // null when the sink wants no meanings
    unsigned subsets;
    const std::uint64_t* increments;

    bool missing(unsigned s) const {
        return all_missing || (missing_allowed && nbinc != 0 && increments[s] == inc_missing);
    }
    double value(unsigned s) const { return scaled_value(reference, base + increments[s], scale); }
    const std::string* meaning(std::uint64_t raw) const {
        if (table == nullptr) return nullptr;
        auto hit = table->find(raw);
        return hit == table->end() ? nullptr : &hit->second;
    }
};

// The name an item carries: the element's, which lives as long as its
// TableSet, or the fixed name of a local element that no table knows.
inline const std::string* item_name(const ElementDefinition& def) {
    return def.kind == ElementKind::Local ? &local_element_name() : &def.name;
}

template <class Sink>
void keep_new_reference(Sink& sink, std::int64_t value) {
    if constexpr (requires { sink.new_reference(value); }) sink.new_reference(value);
}

template <class Sink>
class UncompressedReader {
public:
    static constexpr const char* kDepthError = "descriptor decode exceeded recursion depth";
    static constexpr bool kMissingBitmapEntryIsZero = false;
    static constexpr bool kWantsCodeTables = Sink::kWantsMeanings;

    UncompressedReader(const TableSet& tables, BitReader& bits, DecodeState& state, Sink& sink, DecodeBudget& budget)
        : tables_(tables), bits_(bits), state_(state), sink_(sink), budget_(budget) {}

    std::uint64_t position() const { return bits_.position(); }

    Status element(const ElementView& e, std::optional<double>& value) {
        const ElementDefinition& def = *e.def;
        value.reset();
        CORVENA_TRY(budget_.items(1));
        if (is_character(def)) {
            const std::uint16_t w = character_width(e, state_);
            CORVENA_TRY(bits_.read_bytes(w, state_.octets));
            state_.text_counter += 1;
            sink_.text(def.code, &def.name, running_number(state_.text_counter, w), state_.octets);
            return success();
        }
        const std::int32_t scale = effective_scale(e, state_);
        if (!scale_fits(scale)) [[unlikely]] return scale_out_of_range(def.code, scale);
        const std::uint16_t w = numeric_width(e, state_);
        auto raw = bits_.read_bits(w);
        if (!raw) return std::move(raw).error();
        const std::string* name = item_name(def);
        const std::string* meaning = nullptr;
        if constexpr (Sink::kWantsMeanings) {
            if (const CodeTable* table = e.code_table(tables_)) {
                auto hit = table->find(*raw);
                if (hit != table->end()) meaning = &hit->second;
            }
        }
        const std::int64_t reference = effective_reference(e, state_);
        if (is_missing(*raw, w, def.code)) {
            sink_.numeric(def.code, name, *raw, false, 0.0, meaning);
        } else {
            const double v = scaled_value(reference, *raw, scale);
            sink_.numeric(def.code, name, *raw, true, v, meaning);
            value = v;
        }
        if (scale != def.scale || reference != def.reference) sink_.mark_rescaled();
        return success();
    }

    Result<std::uint64_t> factor(const ElementView& e) { return element_factor(*this, e); }

    Status associated(std::uint8_t width) {
        auto raw = bits_.read_bits(width);
        if (!raw) return std::move(raw).error();
        CORVENA_TRY(budget_.items(1));
        sink_.associated(*raw);
        return success();
    }

    void bitmap_value() { sink_.mark_bitmap_value(); }

    Status operator_item(std::uint32_t code) {
        CORVENA_TRY(budget_.items(1));
        sink_.op(code);
        return success();
    }

    Status characters(std::uint32_t code, std::uint16_t bits) {
        CORVENA_TRY(budget_.items(1));
        CORVENA_TRY(bits_.read_bytes(bits, state_.octets));
        state_.text_counter += 1;
        sink_.text(code, &characters_name(), running_number(state_.text_counter, bits), state_.octets);
        return success();
    }

    Result<std::int64_t> new_reference(std::uint16_t width) {
        auto raw = bits_.read_bits(width);
        if (!raw) return std::move(raw).error();
        const std::int64_t value = signed_reference(*raw, width);
        keep_new_reference(sink_, value);
        return value;
    }

    static double running_number(std::uint64_t counter, std::uint16_t bits) {
        return static_cast<double>(counter) * 1000.0 + static_cast<double>(bits / 8);
    }

private:
    const TableSet& tables_;
    BitReader& bits_;
    DecodeState& state_;
    Sink& sink_;
    DecodeBudget& budget_;
};

template <class Sink>
class CompressedReader {
public:
    static constexpr const char* kDepthError = "compressed descriptor decode exceeded recursion depth";
    static constexpr bool kMissingBitmapEntryIsZero = true;
    static constexpr bool kWantsCodeTables = Sink::kWantsMeanings;

    CompressedReader(const TableSet& tables, BitReader& bits, DecodeState& state, Sink& sink, DecodeBudget& budget,
                     std::uint16_t subsets)
        : tables_(tables), bits_(bits), state_(state), sink_(sink), budget_(budget), n_(subsets) {}

    std::uint64_t position() const { return bits_.position(); }

    Status element(const ElementView& e, std::optional<double>& first) { return column(e, first, nullptr); }

    Result<std::uint64_t> factor(const ElementView& e) {
        std::optional<double> first;
        bool varying = false;
        CORVENA_TRY(column(e, first, &varying));
        // A character factor, or a missing first value, counts 0.
        if (!first) return std::uint64_t{0};
        if (varying) {
            return BufrError::table_parse("compressed delayed replication with varying factors is not implemented");
        }
        return replication_count(first);
    }

    Status associated(std::uint8_t width) {
        return numeric_column(kAssociatedFieldCode, &associated_field_name(), width, 0, 0, false, nullptr, nullptr);
    }

    void bitmap_value() { sink_.mark_bitmap_value(); }

    Status operator_item(std::uint32_t code) {
        CORVENA_TRY(budget_.items(n_));
        sink_.begin_column(0);
        for (unsigned s = 0; s < n_; ++s) sink_.op(code);
        return success();
    }

    Status characters(std::uint32_t code, std::uint16_t bits) {
        return character_column(code, &characters_name(), bits);
    }

    // Every subset must carry the same new reference value.
    Result<std::int64_t> new_reference(std::uint16_t width) {
        auto r0 = bits_.read_bits(width);
        if (!r0) return std::move(r0).error();
        auto nbinc = bits_.read_bits(6);
        if (!nbinc) return std::move(nbinc).error();
        for (unsigned s = 0; s < n_ && *nbinc != 0; ++s) {
            auto inc = bits_.read_bits(static_cast<std::uint16_t>(*nbinc));
            if (!inc) return std::move(inc).error();
            if (*inc != 0) {
                return BufrError::table_parse("compressed new reference values (2-03) differ between subsets");
            }
        }
        const std::int64_t value = signed_reference(*r0, width);
        keep_new_reference(sink_, value);
        return value;
    }

private:
    // The column of one element occurrence, character or numeric; `first`
    // and `varying` as for numeric_column (a character column gives no
    // first value).
    Status column(const ElementView& e, std::optional<double>& first, bool* varying) {
        first.reset();
        const ElementDefinition& def = *e.def;
        if (is_character(def)) return character_column(def.code, &def.name, character_width(e, state_));
        const CodeTable* table = Sink::kWantsMeanings ? e.code_table(tables_) : nullptr;
        const std::int32_t scale = effective_scale(e, state_);
        if (!scale_fits(scale)) [[unlikely]] return scale_out_of_range(def.code, scale);
        const std::int64_t reference = effective_reference(e, state_);
        CORVENA_TRY(numeric_column(def.code, item_name(def), numeric_width(e, state_), reference, scale,
                                   !never_missing(def.code), table, &first, varying));
        if (scale != def.scale || reference != def.reference) sink_.mark_rescaled();
        return success();
    }

    // A numeric column: R0, NBINC, then an increment per subset. `first`
    // receives the first subset's value; `varying`, when given, whether any
    // subset's value differs from it (or is missing while it is not).
    Status numeric_column(std::uint32_t code, const std::string* name, std::uint16_t w, std::int64_t reference,
                          std::int32_t scale, bool missing_allowed, const CodeTable* table,
                          std::optional<double>* first, bool* varying = nullptr) {
        CORVENA_TRY(budget_.items(n_));
        auto r0 = bits_.read_bits(w);
        if (!r0) return std::move(r0).error();
        auto nbinc = bits_.read_bits(6);
        if (!nbinc) return std::move(nbinc).error();
        NumericColumn col;
        col.code = code;
        col.name = name;
        col.base = *r0;
        col.nbinc = static_cast<std::uint16_t>(*nbinc);
        col.all_missing = missing_allowed && w < 64 && col.base == (std::uint64_t{1} << w) - 1;
        col.missing_allowed = missing_allowed;
        col.inc_missing = (std::uint64_t{1} << col.nbinc) - 1;
        col.reference = reference;
        col.scale = scale;
        col.table = Sink::kWantsMeanings ? table : nullptr;
        col.subsets = n_;
        increments_.resize(n_);
        CORVENA_TRY(bits_.read_many(col.nbinc, n_, increments_.data()));
        col.increments = increments_.data();
        sink_.begin_column(col.base);
        sink_.numeric_column(col);
        if (n_ == 0 || col.missing(0)) return success();
        const double f = col.value(0);
        if (first != nullptr) *first = f;
        if (varying != nullptr) {
            for (unsigned s = 1; s < n_; ++s) {
                if (col.missing(s) || std::fabs(col.value(s) - f) > kFactorTolerance) {
                    *varying = true;
                    break;
                }
            }
        }
        return success();
    }

    Status character_column(std::uint32_t code, const std::string* name, std::uint16_t w) {
        CORVENA_TRY(budget_.items(n_));
        std::string& octets = state_.octets;
        CORVENA_TRY(bits_.read_bytes(w, octets));
        auto nbinc_r = bits_.read_bits(6);
        if (!nbinc_r) return std::move(nbinc_r).error();
        const std::uint64_t nbinc = *nbinc_r;
        const std::uint64_t counter = state_.text_column_counter++;
        sink_.begin_column(0);
        const double octet_count = static_cast<double>(w / 8);
        auto number = [&](unsigned s) {
            return (static_cast<double>(counter) * n_ + 1 + s) * 1000.0 + octet_count;
        };
        if (nbinc == 0) {
            const auto shared = sink_.share_text(octets);
            for (unsigned s = 0; s < n_; ++s) sink_.text_shared(code, name, number(s), shared);
            return success();
        }
        for (unsigned s = 0; s < n_; ++s) {
            CORVENA_TRY(bits_.read_bytes(static_cast<std::uint16_t>(8 * nbinc), octets));
            sink_.text(code, name, number(s), octets);
        }
        return success();
    }

    static constexpr double kFactorTolerance = 2.220446049250313e-16;

    const TableSet& tables_;
    BitReader& bits_;
    DecodeState& state_;
    Sink& sink_;
    DecodeBudget& budget_;
    std::uint16_t n_;
    std::vector<std::uint64_t> increments_;  // scratch, one per subset
};

}  // namespace corvena
