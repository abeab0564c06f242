#include "message/encode.hpp"

#include <algorithm>
#include <bit>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "bitstream/bit_writer.hpp"
#include "common/descriptor.hpp"
#include "message/decoded_arrays.hpp"
#include "message/value.hpp"
#include "message/walk.hpp"

namespace corvena {

namespace {

// The items of the chosen subsets of a column form, whichever its layout:
// item j of (written) subset s.
class Source {
public:
    Source(const DecodedArrays& d, std::span<const std::uint32_t> chosen, bool decoded)
        : d_(d), chosen_(chosen), decoded_(decoded) {
        every_subset_ = d.compressed && chosen.size() == d.subsets;
        for (std::size_t s = 0; s < chosen.size() && every_subset_; ++s) every_subset_ = chosen[s] == s;
    }

    // Whether the values are those of a decoded message, which may hold
    // what only compressed data can: numbers past their width.
    bool decoded() const { return decoded_; }

    std::size_t subsets() const { return chosen_.size(); }

    std::uint64_t items(std::size_t s) const {
        if (d_.compressed) return d_.column_codes.size();
        const std::uint32_t in = chosen_[s];
        const std::uint64_t end = in + 1 < d_.subset_starts.size() ? d_.subset_starts[in + 1] : d_.codes.size();
        return end - d_.subset_starts[in];
    }
    // The descriptor the item was decoded as; 0 when the values were given
    // without one.
    std::uint32_t code(std::size_t s, std::uint64_t j) const {
        return d_.compressed ? d_.column_codes[j] : d_.codes[at(s, j)];
    }
    double number(std::size_t s, std::uint64_t j) const {
        return d_.compressed ? d_.cells[j * d_.subsets + chosen_[s]] : d_.values[at(s, j)];
    }
    bool is_text(std::size_t s, std::uint64_t j) const {
        return d_.compressed ? d_.column_text_slot[j] >= 0 : (d_.flags[at(s, j)] & DecodedArrays::kHasText) != 0;
    }
    // The text of a text item; absent when missing.
    std::optional<std::string_view> text(std::size_t s, std::uint64_t j) const {
        std::int32_t index;
        if (d_.compressed) {
            index = d_.text_cells[static_cast<std::size_t>(d_.column_text_slot[j]) * d_.subsets + chosen_[s]];
        } else {
            index = d_.text_index[at(s, j)];
        }
        if (index < 0) return std::nullopt;
        return std::string_view(d_.texts[static_cast<std::size_t>(index)]);
    }
    // The raw value the item was decoded from, where it is kept and the
    // value could not give it back exactly (wide numbers).
    std::optional<std::uint64_t> kept_raw(std::size_t s, std::uint64_t j) const {
        if (d_.compressed) {
            if (d_.column_wide_slot[j] < 0) return std::nullopt;
            return cell_raw(d_, j, chosen_[s]);
        }
        const std::size_t i = at(s, j);
        if ((d_.flags[i] & DecodedArrays::kHasRaw) == 0) return std::nullopt;
        return d_.raws[i];
    }
    // The numbers of column `j` of every chosen subset, side by side, where
    // the values hold them so (compressed, every subset in order); else null.
    const double* column(std::uint64_t j) const {
        return every_subset_ ? d_.cells.data() + j * d_.subsets : nullptr;
    }
    // Whether every subset's item `j` is the same kind of item (compressed
    // values): one check serves the column.
    bool by_column() const { return d_.compressed; }

    // The local reference (R0) a compressed column was decoded with: kept
    // where it still can be, as it is the raw value of its missing cells.
    std::optional<std::uint64_t> kept_r0(std::uint64_t j) const {
        // A message of no subsets keeps no column.
        if (!decoded_ || !d_.compressed || j >= d_.column_r0.size()) return std::nullopt;
        return d_.column_r0[j];
    }
    std::span<const std::int64_t> new_references(std::size_t s) const {
        const auto& refs = d_.new_references;
        if (d_.compressed || d_.new_reference_starts.empty()) return refs;
        const std::uint32_t in = chosen_[s];
        const auto& starts = d_.new_reference_starts;
        const std::uint64_t end = in + 1 < starts.size() ? starts[in + 1] : refs.size();
        return std::span<const std::int64_t>(refs).subspan(starts[in], end - starts[in]);
    }

private:
    std::size_t at(std::size_t s, std::uint64_t j) const { return d_.subset_starts[chosen_[s]] + j; }

    const DecodedArrays& d_;
    std::span<const std::uint32_t> chosen_;
    bool decoded_;
    bool every_subset_;  // compressed, every subset in order: columns lie side by side
};

// How a number is written under the scale, reference and width in force.
struct Field {
    std::uint32_t code;
    std::uint16_t width;
    std::int32_t scale;
    std::int64_t reference;
    bool missing_allowed;

    std::uint64_t all_ones() const { return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1; }
};

// Why `value` cannot be written as `f`, or empty (with `raw` set).
// In compressed data a present value may be all ones (R0 plus an increment
// that is not all ones): `top_is_value` allows it.
std::string raw_of(const Field& f, double value, std::optional<std::uint64_t> kept, std::uint64_t& raw,
                   bool top_is_value = false, bool past_width = false) {
    if (f.width > 64) return "its width of " + std::to_string(f.width) + " bits is more than 64";
    if (std::isnan(value)) {
        if (!f.missing_allowed) return "it may not be missing";
        raw = f.all_ones();
        return {};
    }
    if (!std::isfinite(value)) return "it is not a finite number";
    // A raw value decoded from the input is written again when it still
    // gives the value: numbers above 2^53 are not held exactly by a double.
    if (kept && (top_is_value || *kept != f.all_ones()) && scaled_value(f.reference, *kept, f.scale) == value) {
        raw = *kept;
        return {};
    }
    const double x = f.scale >= 0 ? value * power_of_ten(f.scale) : value / power_of_ten(-f.scale);
    // Halves round away from zero, as ecCodes rounds them.
    const double units = std::round(x) - static_cast<double>(f.reference);
    // The largest raw value that is no missing value.
    const std::uint64_t top = past_width ? ~std::uint64_t{0}
                              : f.missing_allowed && !top_is_value ? f.all_ones() - (f.width == 0 ? 0 : 1)
                                                                   : f.all_ones();
    if (!(units >= 0) || units > static_cast<double>(top) || units >= 18446744073709551616.0 ||
        (f.width == 0)) {
        std::string range;
        if (f.width == 0) {
            range = "a width of 0 bits holds only missing values";
        } else {
            range = "it does not fit " + std::to_string(f.width) + " bits after scale " + std::to_string(f.scale) +
                    " and reference " + std::to_string(f.reference) + " (" +
                    format_number(scaled_value(f.reference, 0, f.scale)) + " to " +
                    format_number(scaled_value(f.reference, top, f.scale)) + ")";
        }
        return format_number(value) + ": " + range;
    }
    raw = static_cast<std::uint64_t>(units);
    return {};
}

// Text octets, filled up with spaces to `bits`; why not, when too long.
std::string text_fault(std::string_view text, std::uint16_t bits) {
    if (text.size() * 8 <= bits) return {};
    return "the text of " + std::to_string(text.size()) + " octets is longer than its field of " +
           std::to_string(bits / 8);
}

std::string sign_magnitude(std::int64_t value, std::uint16_t width, std::uint64_t& raw) {
    if (width == 0 || width > 64) return "a new reference value of " + std::to_string(width) + " bits";
    const auto bits = static_cast<std::uint64_t>(value);
    const std::uint64_t magnitude = value < 0 ? 0 - bits : bits;
    if (width < 64 && magnitude >> (width - 1) != 0) {
        return "the new reference value " + std::to_string(value) + " does not fit " + std::to_string(width) +
               " bits";
    }
    raw = magnitude | (value < 0 ? std::uint64_t{1} << (width - 1) : 0);
    return {};
}

// What both writers share: the output, the source, and the fault.
class WriterBase {
public:
    WriterBase(const Source& source, BitWriter& out, DecodeState& state, EncodeFault& fault)
        : source_(source), out_(out), state_(state), fault_(fault) {}

    std::uint64_t position() const { return out_.position(); }

protected:
    BufrError refuse(std::uint32_t subset, std::uint64_t item, std::uint32_t code, std::string why) {
        fault_.set = true;
        fault_.subset = subset;
        fault_.item = item;
        fault_.code = code;
        fault_.why = why;
        return BufrError::table_parse("subset " + std::to_string(subset + 1) + ", item " + std::to_string(item + 1) +
                                      " (" + padded_code(code) + "): " + why);
    }

    // Item `j` of subset `s`, checked to be there and to be of `code`.
    Status check_item(std::uint32_t s, std::uint64_t j, std::uint32_t code) {
        if (j >= source_.items(s)) {
            return refuse(s, j, code, "the template needs more items than the " + std::to_string(source_.items(s)) +
                                          " given");
        }
        const std::uint32_t given = source_.code(s, j);
        if (given != 0 && given != code) {
            return refuse(s, j, code, "the item given is of " + padded_code(given) + " where the template has " +
                                          padded_code(code) + " (a replication count that disagrees with the data?)");
        }
        return success();
    }

    // The text of item `j` of subset `s` for a field of `bits` (absent when
    // missing), refused when the item holds a number or the text is too long.
    Result<std::optional<std::string_view>> text_of(std::uint32_t s, std::uint64_t j, std::uint32_t code,
                                                    std::uint16_t bits) {
        if (!source_.is_text(s, j)) {
            if (!std::isnan(source_.number(s, j))) return refuse(s, j, code, "a text is expected, not a number");
            return std::optional<std::string_view>();
        }
        const std::optional<std::string_view> t = source_.text(s, j);
        if (t) {
            std::string why = text_fault(*t, bits);
            if (!why.empty()) return refuse(s, j, code, std::move(why));
        }
        return t;
    }

    // The next of the new reference values `refs` (2-03), written in
    // `width` bits as sign and magnitude.
    Result<std::int64_t> write_reference(std::uint32_t s, std::span<const std::int64_t> refs, std::size_t& at,
                                         std::uint16_t width, std::uint64_t j) {
        if (at >= refs.size()) {
            return refuse(s, j, 0, "2-03: " + std::to_string(refs.size()) +
                                       " new reference values are given; the template defines more");
        }
        const std::int64_t value = refs[at++];
        std::uint64_t raw = 0;
        std::string why = sign_magnitude(value, width, raw);
        if (!why.empty()) return refuse(s, j, 0, std::move(why));
        out_.write_bits(raw, width);
        return value;
    }

    BufrError unused_references(std::uint32_t s, std::uint64_t j, std::size_t given, std::size_t used) {
        return refuse(s, j, 0, "2-03: " + std::to_string(given) + " new reference values are given; the template " +
                                   "defines " + std::to_string(used));
    }

    Field field_of(const ElementView& e) const {
        const ElementDefinition& def = *e.def;
        const std::uint16_t width = numeric_width(e, state_);
        // A field of 64 bits or more has no missing value.
        return Field{def.code, width, effective_scale(e, state_), effective_reference(e, state_),
                     !never_missing(def.code) && width < 64};
    }

    const Source& source_;
    BitWriter& out_;
    DecodeState& state_;
    EncodeFault& fault_;
};

class UncompressedWriter : public WriterBase {
public:
    static constexpr const char* kDepthError = "descriptor encode exceeded recursion depth";
    static constexpr bool kMissingBitmapEntryIsZero = false;
    static constexpr bool kWantsCodeTables = false;

    using WriterBase::WriterBase;

    void begin_subset(std::uint32_t s) {
        s_ = s;
        j_ = 0;
        refs_ = source_.new_references(s);
        ref_at_ = 0;
    }
    Status end_subset() {
        const std::uint64_t n = source_.items(s_);
        if (ref_at_ != refs_.size()) return unused_references(s_, j_, refs_.size(), ref_at_);
        if (j_ == n) return success();
        return refuse(s_, j_, source_.code(s_, j_),
                      std::to_string(n - j_) + " items are left over after the template (of " + std::to_string(n) +
                          " given)");
    }

    Status element(const ElementView& e, std::optional<double>& value) {
        value.reset();
        const ElementDefinition& def = *e.def;
        const std::uint64_t j = j_++;
        CORVENA_TRY(check_item(s_, j, def.code));
        if (is_character(def)) return text(j, def.code, character_width(e, state_));
        if (source_.is_text(s_, j)) return refuse(s_, j, def.code, "a number is expected, not a text");
        const Field f = field_of(e);
        if (!scale_fits(f.scale)) return scale_out_of_range(def.code, f.scale);
        const double v = source_.number(s_, j);
        std::uint64_t raw = 0;
        std::string why = raw_of(f, v, source_.kept_raw(s_, j), raw);
        if (!why.empty()) return refuse(s_, j, def.code, std::move(why));
        out_.write_bits(raw, f.width);
        if (!is_missing(raw, f.width, def.code)) value = scaled_value(f.reference, raw, f.scale);
        return success();
    }

    Result<std::uint64_t> factor(const ElementView& e) { return element_factor(*this, e); }

    Status associated(std::uint8_t width) {
        const std::uint64_t j = j_++;
        CORVENA_TRY(check_item(s_, j, kAssociatedFieldCode));
        const Field f{kAssociatedFieldCode, width, 0, 0, false};
        std::uint64_t raw = 0;
        std::string why = raw_of(f, source_.number(s_, j), std::nullopt, raw);
        if (!why.empty()) return refuse(s_, j, kAssociatedFieldCode, "associated field: " + why);
        out_.write_bits(raw, width);
        return success();
    }

    void bitmap_value() {}

    Status operator_item(std::uint32_t code) { return check_item(s_, j_++, code); }

    Status characters(std::uint32_t code, std::uint16_t bits) { return text(j_++, code, bits, true); }

    Result<std::int64_t> new_reference(std::uint16_t width) {
        return write_reference(s_, refs_, ref_at_, width, j_);
    }

private:
    Status text(std::uint64_t j, std::uint32_t code, std::uint16_t bits, bool check = false) {
        if (check) CORVENA_TRY(check_item(s_, j, code));
        auto t = text_of(s_, j, code, bits);
        if (!t) return std::move(t).error();
        if (*t) out_.write_octets(**t, bits, ' ');
        else out_.write_ones(bits);
        return success();
    }

    std::uint32_t s_ = 0;
    std::uint64_t j_ = 0;
    std::span<const std::int64_t> refs_;
    std::size_t ref_at_ = 0;
};

// The raw values of a compressed column of plain numbers, as `raws` (all
// ones for a missing cell, which no present value reaches), with the least and the
// greatest of the present ones. False, with nothing decided, when any value
// needs the general path: it is below the reference or above `top` after
// scale and reference, its magnitude reaches 2^50 after scaling, or it
// lies exactly half way between two integers (rounded away from zero
// there, where the rounding below gives the even one).
struct ColumnRaws {
    std::uint64_t* raws;
    std::uint64_t lo = ~std::uint64_t{0};
    std::uint64_t hi = 0;
    bool any_missing = false;
};

// A double below 2^51 in magnitude rounds to an integer when 1.5 * 2^52 is
// added and taken away again, and a whole number below 2^51 added to it
// is that integer in the low bits of its representation.
constexpr double kRoundingMagic = 6755399441055744.0;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CORVENA_AVX2 1
// Four cells at a time where the processor has AVX2 (checked once, when
// first needed): the cells of column_raws up to a multiple of four, with
// the bounds and flags it keeps. Gives the count of cells done.
template <bool kMultiply>
__attribute__((target("avx2"))) std::uint32_t column_raws_avx2(const double* col, std::uint32_t n, double p,
                                                              double ref, double top_d, std::uint64_t ones,
                                                              std::uint64_t* raws, double& least, double& most,
                                                              bool& refused, bool& any_missing) {
    const std::uint64_t magic_bits = std::bit_cast<std::uint64_t>(kRoundingMagic);
    const __m256d magic = _mm256_set1_pd(kRoundingMagic), scale = _mm256_set1_pd(p), refs = _mm256_set1_pd(ref);
    const __m256d tops = _mm256_set1_pd(top_d), zero = _mm256_setzero_pd(), half = _mm256_set1_pd(0.5);
    const __m256d limit = _mm256_set1_pd(1125899906842624.0);  // 2^50
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    const __m256d minus_inf = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    const __m256d ones_v = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(ones)));
    const __m256i magic_v = _mm256_set1_epi64x(static_cast<long long>(magic_bits));
    __m256d low = inf, high = minus_inf, bad = zero, nans = zero;
    std::uint32_t s = 0;
    for (; s + 4 <= n; s += 4) {
        const __m256d v = _mm256_loadu_pd(col + s);
        const __m256d nan = _mm256_cmp_pd(v, v, _CMP_UNORD_Q);
        const __m256d x = kMultiply ? _mm256_mul_pd(v, scale) : _mm256_div_pd(v, scale);
        const __m256d big = _mm256_cmp_pd(_mm256_andnot_pd(sign, x), limit, _CMP_NLT_UQ);
        const __m256d rounded = _mm256_sub_pd(_mm256_add_pd(x, magic), magic);
        const __m256d halfway = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(x, rounded)), half, _CMP_EQ_OQ);
        const __m256d units = _mm256_sub_pd(rounded, refs);
        const __m256d outside =
            _mm256_or_pd(_mm256_cmp_pd(units, zero, _CMP_LT_OQ), _mm256_cmp_pd(units, tops, _CMP_GT_OQ));
        bad = _mm256_or_pd(bad, _mm256_andnot_pd(nan, _mm256_or_pd(_mm256_or_pd(big, halfway), outside)));
        nans = _mm256_or_pd(nans, nan);
        const __m256i raw = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(units, magic)), magic_v);
        _mm256_storeu_pd(reinterpret_cast<double*>(raws + s), _mm256_blendv_pd(_mm256_castsi256_pd(raw), ones_v, nan));
        low = _mm256_min_pd(low, _mm256_blendv_pd(units, inf, nan));
        high = _mm256_max_pd(high, _mm256_blendv_pd(units, minus_inf, nan));
    }
    refused = refused || _mm256_movemask_pd(bad) != 0;
    any_missing = any_missing || _mm256_movemask_pd(nans) != 0;
    double lows[4], highs[4];
    _mm256_storeu_pd(lows, low);
    _mm256_storeu_pd(highs, high);
    for (int k = 0; k < 4; ++k) {
        least = std::min(least, lows[k]);
        most = std::max(most, highs[k]);
    }
    return s;
}

bool has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

template <bool kMultiply>
bool column_raws(const double* col, std::uint32_t n, double p, std::int64_t reference, std::uint64_t top,
                 std::uint64_t ones, ColumnRaws& out) {
    const std::uint64_t magic_bits = std::bit_cast<std::uint64_t>(kRoundingMagic);
    const double ref = static_cast<double>(reference);
    const double top_d = static_cast<double>(top);
    double least = std::numeric_limits<double>::infinity(), most = -least;
    std::uint32_t s = 0;
    bool refused = false, any_missing = false;
#if defined(CORVENA_AVX2)
    if (n >= 8 && has_avx2()) {
        s = column_raws_avx2<kMultiply>(col, n, p, ref, top_d, ones, out.raws, least, most, refused, any_missing);
    }
#endif
#if defined(__SSE2__)
    // Two cells at a time on the vector unit, NaN cells masked.
    const __m128d magic = _mm_set1_pd(kRoundingMagic), scale = _mm_set1_pd(p), refs = _mm_set1_pd(ref);
    const __m128d tops = _mm_set1_pd(top_d), zero = _mm_setzero_pd(), half = _mm_set1_pd(0.5);
    const __m128d limit = _mm_set1_pd(1125899906842624.0);  // 2^50
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d inf = _mm_set1_pd(std::numeric_limits<double>::infinity());
    const __m128i ones_v = _mm_set1_epi64x(static_cast<long long>(ones));
    const __m128i magic_v = _mm_set1_epi64x(static_cast<long long>(magic_bits));
    __m128d low = inf, high = _mm_xor_pd(inf, sign), bad = zero, nans = zero;
    for (; s + 2 <= n; s += 2) {
        const __m128d v = _mm_loadu_pd(col + s);
        const __m128d nan = _mm_cmpunord_pd(v, v);
        const __m128d x = kMultiply ? _mm_mul_pd(v, scale) : _mm_div_pd(v, scale);
        const __m128d big = _mm_cmpnlt_pd(_mm_andnot_pd(sign, x), limit);
        const __m128d rounded = _mm_sub_pd(_mm_add_pd(x, magic), magic);
        const __m128d halfway = _mm_cmpeq_pd(_mm_andnot_pd(sign, _mm_sub_pd(x, rounded)), half);
        const __m128d units = _mm_sub_pd(rounded, refs);
        const __m128d outside = _mm_or_pd(_mm_cmplt_pd(units, zero), _mm_cmpgt_pd(units, tops));
        bad = _mm_or_pd(bad, _mm_andnot_pd(nan, _mm_or_pd(_mm_or_pd(big, halfway), outside)));
        nans = _mm_or_pd(nans, nan);
        const __m128i raw = _mm_sub_epi64(_mm_castpd_si128(_mm_add_pd(units, magic)), magic_v);
        const __m128i nan_i = _mm_castpd_si128(nan);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.raws + s),
                         _mm_or_si128(_mm_and_si128(nan_i, ones_v), _mm_andnot_si128(nan_i, raw)));
        low = _mm_min_pd(low, _mm_or_pd(_mm_and_pd(nan, inf), _mm_andnot_pd(nan, units)));
        high = _mm_max_pd(high, _mm_or_pd(_mm_and_pd(nan, _mm_xor_pd(inf, sign)), _mm_andnot_pd(nan, units)));
    }
    refused = refused || _mm_movemask_pd(bad) != 0;
    any_missing = any_missing || _mm_movemask_pd(nans) != 0;
    double lows[2], highs[2];
    _mm_storeu_pd(lows, low);
    _mm_storeu_pd(highs, high);
    least = std::min({least, lows[0], lows[1]});
    most = std::max({most, highs[0], highs[1]});
#endif
    for (; s < n; ++s) {
        const double v = col[s];
        if (v != v) {
            out.raws[s] = ones;
            any_missing = true;
            continue;
        }
        const double x = kMultiply ? v * p : v / p;
        if (!(std::fabs(x) < 1125899906842624.0)) return false;
        const double rounded = (x + kRoundingMagic) - kRoundingMagic;
        const double units = rounded - ref;
        if (std::fabs(x - rounded) == 0.5 || units < 0 || units > top_d) return false;
        out.raws[s] = std::bit_cast<std::uint64_t>(units + kRoundingMagic) - magic_bits;
        least = std::min(least, units);
        most = std::max(most, units);
    }
    if (refused) return false;
    out.any_missing = any_missing;
    if (least <= most) {
        out.lo = static_cast<std::uint64_t>(least);
        out.hi = static_cast<std::uint64_t>(most);
    }
    return true;
}

class CompressedWriter : public WriterBase {
public:
    static constexpr const char* kDepthError = "compressed descriptor encode exceeded recursion depth";
    static constexpr bool kMissingBitmapEntryIsZero = true;
    static constexpr bool kWantsCodeTables = false;

    CompressedWriter(const Source& source, BitWriter& out, DecodeState& state, EncodeFault& fault)
        : WriterBase(source, out, state, fault), n_(static_cast<std::uint32_t>(source.subsets())) {}

    // Every subset must have exactly the items the template took.
    Status end() {
        const std::size_t given = source_.new_references(0).size();
        if (ref_at_ != given) return unused_references(0, j_, given, ref_at_);
        for (std::uint32_t s = 0; s < n_; ++s) {
            const std::uint64_t n = source_.items(s);
            if (n != j_) {
                return refuse(s, std::min(n, j_), 0,
                              "the subset has " + std::to_string(n) + " items where the template takes " +
                                  std::to_string(j_) + " in compressed data");
            }
        }
        return success();
    }

    Status element(const ElementView& e, std::optional<double>& first) { return column(e, first, false); }

    Result<std::uint64_t> factor(const ElementView& e) {
        std::optional<double> first;
        CORVENA_TRY(column(e, first, true));
        return replication_count(first);
    }

    Status associated(std::uint8_t width) {
        const std::uint64_t j = j_++;
        CORVENA_TRY(check_column(j, kAssociatedFieldCode));
        return numbers(j, Field{kAssociatedFieldCode, width, 0, 0, false}, nullptr, false);
    }

    void bitmap_value() {}

    Status operator_item(std::uint32_t code) { return check_column(j_++, code); }

    Status characters(std::uint32_t code, std::uint16_t bits) {
        const std::uint64_t j = j_++;
        CORVENA_TRY(check_column(j, code));
        return texts(j, code, bits);
    }

    // One value for every subset: R0, and no increments.
    Result<std::int64_t> new_reference(std::uint16_t width) {
        auto value = write_reference(0, source_.new_references(0), ref_at_, width, j_);
        if (value) out_.write_bits(0, 6);
        return value;
    }

private:
    Status check_column(std::uint64_t j, std::uint32_t code) {
        if (source_.by_column()) return n_ == 0 ? success() : check_item(0, j, code);
        for (std::uint32_t s = 0; s < n_; ++s) CORVENA_TRY(check_item(s, j, code));
        return success();
    }

    // The raw values of a column, whatever its values; refuses those that
    // cannot be written.
    Status general_raws(std::uint64_t j, const Field& f, std::uint64_t& lo, std::uint64_t& hi, bool& any_missing) {
        lo = ~std::uint64_t{0};
        hi = 0;
        any_missing = false;
        for (std::uint32_t s = 0; s < n_; ++s) {
            missing_[s] = 0;
            if (source_.is_text(s, j)) return refuse(s, j, f.code, "a number is expected, not a text");
            const double v = source_.number(s, j);
            std::uint64_t raw = 0;
            // In compressed data R0 plus an increment may pass the width:
            // a decoded message holding such numbers is written as it was.
            std::string why = raw_of(f, v, source_.kept_raw(s, j), raw, true, source_.decoded() && f.width != 0);
            if (!why.empty()) {
                return refuse(s, j, f.code, f.code == kAssociatedFieldCode ? "associated field: " + why : why);
            }
            raws_[s] = raw;
            if (f.missing_allowed && std::isnan(v)) {
                missing_[s] = 1;
                any_missing = true;
                continue;
            }
            lo = std::min(lo, raw);
            hi = std::max(hi, raw);
        }
        return success();
    }

    // The raw values of a column of plain numbers (no text, no raw kept)
    // in the common case: each present value within the width after
    // scale and reference. False, with nothing decided, for anything else,
    // which the general path then handles (and words the refusals of).
    bool plain_raws(const double* col, const Field& f, std::uint64_t& lo, std::uint64_t& hi, bool& any_missing) {
        if (f.width == 0 || f.width > 50 || !scale_fits(f.scale)) return false;
        const std::int64_t ref = f.reference;
        if (ref > (std::int64_t{1} << 50) || ref < -(std::int64_t{1} << 50)) return false;
        return f.scale >= 0 ? plain_raws<true>(col, f, power_of_ten(f.scale), lo, hi, any_missing)
                            : plain_raws<false>(col, f, power_of_ten(-f.scale), lo, hi, any_missing);
    }

    template <bool kMultiply>
    bool plain_raws(const double* col, const Field& f, double p, std::uint64_t& lo, std::uint64_t& hi,
                    bool& any_missing) {
        const std::uint64_t ones = f.all_ones();
        // The largest raw value of a present number (all ones is missing
        // where the element may be missing).
        const std::uint64_t top = f.missing_allowed ? ones - 1 : ones;
        ColumnRaws out{raws_.data()};
        if (!column_raws<kMultiply>(col, n_, p, f.reference, top, ones, out)) return false;
        if (out.any_missing && !f.missing_allowed) return false;
        // Cells are marked missing only where some are: else the increments
        // are written without looking.
        if (out.any_missing) {
            for (std::uint32_t s = 0; s < n_; ++s) missing_[s] = raws_[s] == ones;
        }
        lo = out.lo;
        hi = out.hi;
        any_missing = out.any_missing;
        return true;
    }

    Status column(const ElementView& e, std::optional<double>& first, bool is_factor) {
        first.reset();
        const ElementDefinition& def = *e.def;
        const std::uint64_t j = j_++;
        CORVENA_TRY(check_column(j, def.code));
        if (is_character(def)) return texts(j, def.code, character_width(e, state_));
        const Field f = field_of(e);
        if (!scale_fits(f.scale)) return scale_out_of_range(def.code, f.scale);
        return numbers(j, f, &first, is_factor);
    }

    Status numbers(std::uint64_t j, const Field& f, std::optional<double>* first, bool is_factor) {
        raws_.resize(n_);
        missing_.resize(n_);
        std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
        bool any_missing = false;
        const std::uint64_t ones = f.all_ones();
        const double* col = source_.column(j);
        if (n_ == 0 || col == nullptr || source_.kept_raw(0, j) || source_.is_text(0, j) ||
            !plain_raws(col, f, lo, hi, any_missing)) {
            CORVENA_TRY(general_raws(j, f, lo, hi, any_missing));
        }
        const bool any_present = lo <= hi;
        if (is_factor && n_ > 1) {
            for (std::uint32_t s = 1; s < n_; ++s) {
                if (raws_[s] != raws_[0] || (any_missing && missing_[s] != missing_[0])) {
                    return refuse(s, j, f.code,
                                  "compressed data needs one replication count in every subset; subset 1 has " +
                                      std::to_string(raws_[0]) + ", this one " + std::to_string(raws_[s]));
                }
            }
        }
        const std::optional<std::uint64_t> r0 = source_.kept_r0(j);
        if (!any_present) {
            if (r0 && *r0 < ones && f.missing_allowed && n_ > 0) {
                // Missing cells of a column whose R0 is no missing value.
                out_.write_bits(*r0, f.width);
                out_.write_bits(1, 6);
                for (std::uint32_t s = 0; s < n_; ++s) out_.write_bits(1, 1);
                return success();
            }
            // Every subset missing (or none): R0 all ones, no increments.
            out_.write_bits(ones, f.width);
            out_.write_bits(0, 6);
            return success();
        }
        // R0 all ones would say that every subset is missing.
        if (f.missing_allowed && lo == ones) --lo;
        if (r0 && *r0 <= lo && !(f.missing_allowed && *r0 == ones)) lo = *r0;
        if (lo > ones) {
            return refuse(0, j, f.code, "the least value of the column, raw " + std::to_string(lo) +
                                            ", does not fit " + std::to_string(f.width) + " bits");
        }
        const std::uint64_t spread = hi - lo;
        // An increment of all ones stands for missing, so where the
        // element may be missing the largest increment stays below it.
        const unsigned nbinc = static_cast<unsigned>(
            std::bit_width(f.missing_allowed && (any_missing || spread != 0) ? spread + 1 : spread));
        if (nbinc > 63 || (spread + 1 == 0 && f.missing_allowed)) {
            return refuse(0, j, f.code, "the values' spread needs an increment wider than 63 bits");
        }
        out_.write_bits(lo, f.width);
        out_.write_bits(nbinc, 6);
        if (nbinc != 0) {
            const std::uint64_t inc_missing = (std::uint64_t{1} << nbinc) - 1;
            out_.write_increments(raws_.data(), any_missing ? missing_.data() : nullptr, n_, lo, inc_missing,
                                  nbinc);
        }
        if (first != nullptr && n_ > 0 && !(any_missing && missing_[0])) {
            *first = scaled_value(f.reference, raws_[0], f.scale);
        }
        return success();
    }

    Status texts(std::uint64_t j, std::uint32_t code, std::uint16_t bits) {
        texts_.resize(n_);
        bool same = true;
        for (std::uint32_t s = 0; s < n_; ++s) {
            auto t = text_of(s, j, code, bits);
            if (!t) return std::move(t).error();
            texts_[s] = *t;
            if (s > 0 && texts_[s] != texts_[0]) same = false;
        }
        auto put = [&](const std::optional<std::string_view>& t) {
            if (t) out_.write_octets(*t, bits, ' ');
            else out_.write_ones(bits);
        };
        if (n_ == 0 || same) {
            if (n_ == 0) out_.write_ones(bits);
            else put(texts_[0]);
            out_.write_bits(0, 6);
            return success();
        }
        out_.write_octets({}, bits, 0);
        out_.write_bits(bits / 8, 6);
        for (std::uint32_t s = 0; s < n_; ++s) put(texts_[s]);
        return success();
    }

    std::uint32_t n_;
    std::uint64_t j_ = 0;
    std::size_t ref_at_ = 0;
    std::vector<std::uint64_t> raws_;
    std::vector<std::uint8_t> missing_;
    std::vector<std::optional<std::string_view>> texts_;
};

// Records the items of a template instead of writing them.
class LayoutWriter {
public:
    static constexpr const char* kDepthError = "descriptor layout exceeded recursion depth";
    static constexpr bool kMissingBitmapEntryIsZero = true;
    static constexpr bool kWantsCodeTables = false;

    LayoutWriter(Layout& out, std::span<const std::uint64_t> counts) : out_(out), counts_(counts) {}

    std::uint64_t position() const { return out_.codes.size(); }

    Status element(const ElementView& e, std::optional<double>& value) {
        value.reset();
        const ElementDefinition& def = *e.def;
        std::uint8_t flags = is_character(def) ? DecodedArrays::kHasText : 0;
        if (def.kind == ElementKind::Local) flags |= DecodedArrays::kLocal;
        return add(def.code, flags);
    }
    void begin_replication(std::span<const std::uint32_t> group) { group_ = group; }
    Result<std::uint64_t> factor(const ElementView& e) {
        CORVENA_TRY(add(e.def->code, Layout::kFactor));
        if (next_ < counts_.size()) return counts_[next_++];
        out_.complete = false;
        out_.group.assign(group_.begin(), group_.end());
        return BufrError::table_parse("a replication count is needed");
    }
    Status associated(std::uint8_t) {
        return add(kAssociatedFieldCode, 0);
    }
    void bitmap_value() { out_.flags.back() |= DecodedArrays::kBitmapValue; }
    Status operator_item(std::uint32_t code) {
        return add(code, DecodedArrays::kOperator);
    }
    Status characters(std::uint32_t code, std::uint16_t) {
        return add(code, DecodedArrays::kHasText);
    }
    Result<std::int64_t> new_reference(std::uint16_t) { return std::int64_t{0}; }

private:
    Status add(std::uint32_t code, std::uint8_t flags) {
        if (out_.codes.size() >= kMaxItems) return DecodeBudget::items_exceeded();
        out_.codes.push_back(code);
        out_.flags.push_back(flags);
        return success();
    }

    Layout& out_;
    std::span<const std::uint64_t> counts_;
    std::size_t next_ = 0;
    std::span<const std::uint32_t> group_;
};

}  // namespace

Result<std::string> encode_section4(const DecodedArrays& values, std::span<const std::uint32_t> chosen,
                                    const TableSet& tables, std::span<const std::uint32_t> descriptors,
                                    bool compressed, bool decoded, EncodeFault& fault) {
    const std::uint32_t in_subsets = values.compressed ? values.subsets
                                                       : static_cast<std::uint32_t>(values.subset_starts.size());
    for (std::uint32_t s : chosen) {
        if (s >= in_subsets) {
            return BufrError::table_parse("subset " + std::to_string(s + 1) + " is asked for; the values hold " +
                                          std::to_string(in_subsets));
        }
    }
    const Source source(values, chosen, decoded);
    BitWriter out;
    DecodeState state;
    DecodeBudget budget;
    if (compressed) {
        CompressedWriter writer(source, out, state, fault);
        DescriptorWalk<CompressedWriter> walk(tables, writer, state, budget);
        CORVENA_TRY(walk.run(descriptors, 0));
        CORVENA_TRY(writer.end());
        return out.finish();
    }
    UncompressedWriter writer(source, out, state, fault);
    DescriptorWalk<UncompressedWriter> walk(tables, writer, state, budget);
    for (std::uint32_t s = 0; s < chosen.size(); ++s) {
        state.reset_for_subset();
        writer.begin_subset(s);
        CORVENA_TRY(walk.run(descriptors, 0));
        CORVENA_TRY(writer.end_subset());
    }
    return out.finish();
}

Result<Layout> lay_out(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                       std::span<const std::uint64_t> counts) {
    Layout layout;
    LayoutWriter writer(layout, counts);
    DecodeState state;
    DecodeBudget budget;
    DescriptorWalk<LayoutWriter> walk(tables, writer, state, budget);
    Status done = walk.run(descriptors, 0);
    if (!done && layout.complete) return std::move(done).error();
    return layout;
}

}  // namespace corvena
