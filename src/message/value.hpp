// Decoded items, the per-subset decoding state, and the rules that turn the
// bits of one element into a value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bitstream/bit_reader.hpp"
#include "common/descriptor.hpp"
#include "common/error.hpp"
#include "tables/table_set.hpp"

namespace corvena {

// One decoded item. Names and meanings point into the tables borrowed for
// the decoding call (or at the two fixed names below); texts live in the
// text pool of the DecodedValues that holds the item.
struct DecodedValue {
    static constexpr std::uint8_t kHasValue = 1;
    static constexpr std::uint8_t kHasRaw = 2;
    static constexpr std::uint8_t kHasText = 4;

    const std::string* name = nullptr;
    const std::string* meaning = nullptr;
    double raw_value = 0.0;
    std::uint64_t raw = 0;
    std::uint32_t descriptor = 0;
    std::uint32_t text_offset = 0;
    std::uint32_t text_length = 0;
    std::uint8_t flags = 0;

    bool has_value() const { return (flags & kHasValue) != 0; }
    bool has_raw() const { return (flags & kHasRaw) != 0; }
    bool has_text() const { return (flags & kHasText) != 0; }
};

// The items of one decoding call. Uncompressed data is stored in result
// order. Compressed data is stored column by column (`subsets` items per
// column, `columns` columns) and read in result order, subset by subset,
// through `cell`, which saves copying every item once more.
struct DecodedValues {
    std::vector<DecodedValue> items;
    std::string text_pool;
    // Uncompressed: the index of the first item of each subset.
    std::vector<std::uint64_t> subset_starts;
    bool by_column = false;
    std::size_t subsets = 0;
    std::size_t columns = 0;

    std::size_t size() const { return items.size(); }
    // Item of subset s (from 0) in column j, for column-major storage.
    const DecodedValue& cell(std::size_t s, std::size_t j) const { return items[j * subsets + s]; }
    std::string_view text_of(const DecodedValue& v) const {
        return std::string_view(text_pool).substr(v.text_offset, v.text_length);
    }
};

// A spare item vector left by an earlier call, empty but with its capacity,
// so that a run of decodes reuses one block of memory instead of faulting in
// fresh pages and regrowing every time. `recycle_items` keeps the vector of
// a result that is no longer needed (up to a bound on its size).
std::vector<DecodedValue> take_item_buffer();
void recycle_items(DecodedValues&& values);

const std::string& associated_field_name();
const std::string& operator_name();
// The name of the item of characters inserted by 2-05-YYY.
const std::string& characters_name();
// The name of an element that no table knows, read after 2-06-YYY.
const std::string& local_element_name();

// An element as it is decoded: its definition, with the reference value and
// width that a difference-statistics marker (2-25-255) may have changed.
struct ElementView {
    const ElementDefinition* def;
    std::int64_t reference;
    std::uint16_t width;
    bool difference = false;  // read as a difference statistical value
    bool table_known = false;  // `table` is the element's code table (or null: none)
    const CodeTable* table = nullptr;

    static ElementView of(const ElementDefinition& d) { return ElementView{&d, d.reference, d.width}; }
    void with_table(const CodeTable* t) {
        table = t;
        table_known = true;
    }
    const CodeTable* code_table(const TableSet& tables) const {
        return table_known ? table : tables.find_code_table(def->code);
    }
};

struct DecodeState {
    std::int32_t width_change = 0;
    std::int32_t scale_change = 0;
    std::int64_t reference_multiplier = 1;
    std::optional<std::uint16_t> local_width;
    std::optional<std::uint16_t> character_width;
    std::uint8_t associated_width = 0;
    std::uint64_t text_counter = 0;
    std::uint64_t text_column_counter = 0;
    std::vector<std::uint8_t> bitmap;
    std::vector<const ElementDefinition*> history;
    std::uint64_t bitmap_cursor = 0;
    std::uint64_t bitmap_anchor = 0;
    bool defining_bitmap = false;
    // After 2-22-000, 2-23-000, 2-24-000, 2-25-000 or 2-32-000, a run of
    // 031031 values that follows directly defines the bitmap. Such a
    // bitmap refers to the data before the first of these operators (and
    // 2-36-000) in the subset, however much quality information or how
    // many statistics followed since: `data_end` is the history length
    // there.
    bool bitmap_may_start = false;
    std::optional<std::uint64_t> data_end;
    // 2-03-YYY: while `new_reference_width` is not 0, each element
    // descriptor reads a new reference value of that many bits instead of
    // data. The new values hold until 2-03-000.
    std::uint16_t new_reference_width = 0;
    // Sorted by code: every element read looks its code up here.
    std::vector<std::pair<std::uint32_t, std::int64_t>> new_references;
    // Elements that no table knows, read with the width that 2-06 gave
    // them (a deque: history keeps pointers to them).
    std::deque<ElementDefinition> local_elements;
    std::string octets;  // scratch for character fields, reused

    // Back to the start-of-subset state, keeping text_counter and the
    // storage of the vectors.
    void reset_for_subset();
    void set_new_reference(std::uint32_t code, std::int64_t reference);
};

inline bool is_character(const ElementDefinition& def) { return def.kind == ElementKind::Character; }

// Effective parameters of an element under the current operators. These
// run for every value decoded, so they live here to be inlined.
inline std::uint16_t numeric_width(const ElementView& e, const DecodeState& state) {
    if (state.local_width) return *state.local_width;
    // Code and flag tables keep their width under 2-01 and 2-07.
    if (e.def->kind == ElementKind::CodeOrFlag) return e.width;
    const std::int64_t w = std::int64_t{e.width} + state.width_change;
    if (w <= 0) return 0;
    return w > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(w);
}

inline std::uint16_t character_width(const ElementView& e, const DecodeState& state) {
    return state.character_width ? *state.character_width : e.width;
}

inline std::int32_t effective_scale(const ElementView& e, const DecodeState& state) {
    if (e.def->kind == ElementKind::CodeOrFlag) return e.def->scale;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(e.def->scale) +
                                     static_cast<std::uint32_t>(state.scale_change));
}

// Where `code` is, or would go, in the sorted new references.
template <class Refs>
auto new_reference_slot(Refs& refs, std::uint32_t code) {
    return std::lower_bound(refs.begin(), refs.end(), code,
                            [](const auto& entry, std::uint32_t c) { return entry.first < c; });
}

inline std::int64_t effective_reference(const ElementView& e, const DecodeState& state) {
    std::int64_t reference = e.reference;
    if (!e.difference) {
        const auto& refs = state.new_references;
        if (!refs.empty()) {
            const auto hit = new_reference_slot(refs, e.def->code);
            if (hit != refs.end() && hit->first == e.def->code) reference = hit->second;
        }
    }
    if (e.def->kind == ElementKind::CodeOrFlag) return reference;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(reference) *
                                     static_cast<std::uint64_t>(state.reference_multiplier));
}

// 10^scale as the power function gives it (kept in a table for the
// scales that occur).
struct PowersOfTen {
    static constexpr int kPowCache = 64;
    double v[2 * kPowCache + 1];
    PowersOfTen();
};
extern const PowersOfTen kPowersOfTen;
double power_of_ten_slow(std::int32_t scale);

inline double power_of_ten(std::int32_t scale) {
    if (scale >= -PowersOfTen::kPowCache && scale <= PowersOfTen::kPowCache) {
        return kPowersOfTen.v[scale + PowersOfTen::kPowCache];
    }
    return power_of_ten_slow(scale);
}

// The scales at which every value of an element is a finite double:
// 10^scale is finite up to 10^308, and (reference + raw), below 2^66 in
// magnitude, times 10^288 stays below the largest double. Real tables use
// scales of a few tens at most, and 2-02 adds at most 127.
constexpr std::int32_t kMinScale = -288;
constexpr std::int32_t kMaxScale = 308;
inline bool scale_fits(std::int32_t scale) { return scale >= kMinScale && scale <= kMaxScale; }
// TableParse "element {:06}: scale {} puts its values outside the range of a double".
BufrError scale_out_of_range(std::uint32_t code, std::int32_t scale);

// (reference + raw) exactly, rounded once to a double, divided by 10^scale.
inline double scaled_value(std::int64_t reference, std::uint64_t raw, std::int32_t scale) {
    double exact;
    std::int64_t sum;
    if (raw <= static_cast<std::uint64_t>(INT64_MAX) &&
        !__builtin_add_overflow(reference, static_cast<std::int64_t>(raw), &sum)) {
        exact = static_cast<double>(sum);  // the usual case: the sum fits 64 bits
    } else {
        exact = static_cast<double>(static_cast<__int128>(reference) + static_cast<__int128>(raw));
    }
    if (scale == 0) return exact;
    return exact / power_of_ten(scale);
}

inline bool is_missing(std::uint64_t raw, std::uint16_t width, std::uint32_t code) {
    if (width >= 64 || never_missing(code)) return false;
    return raw == (std::uint64_t{1} << width) - 1;
}

// A new reference value of `width` bits: the leftmost bit is the sign (1
// negative), the others the magnitude.
std::int64_t signed_reference(std::uint64_t raw, std::uint16_t width);

// Octets of a character field to text: absent when every octet is 0xFF,
// octets above 127 become '?', trailing white space is removed. The text is
// appended to `pool`; returns false when the text is missing.
bool text_from_octets(std::string_view octets, std::string& pool);

// The shortest decimal form that reads back to the same double, with an
// exponent at or above 1e16 and below 1e-4.
std::string format_number(double v);

// "DecodedValue(012001, Some(273.15))" and its other forms.
std::string decoded_value_repr(const DecodedValue& v, std::string_view text);

}  // namespace corvena
