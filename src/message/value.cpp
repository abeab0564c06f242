#include "message/value.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/descriptor.hpp"
#include "common/quote.hpp"

namespace corvena {

namespace {

constexpr std::size_t kMaxSpareBytes = std::size_t{64} << 20;

std::vector<DecodedValue>& spare_items() {
    thread_local std::vector<DecodedValue> spare;
    return spare;
}

}  // namespace

std::vector<DecodedValue> take_item_buffer() {
    std::vector<DecodedValue> out;
    out.swap(spare_items());
    return out;
}

void recycle_items(DecodedValues&& values) {
    std::vector<DecodedValue>& spare = spare_items();
    if (values.items.capacity() <= spare.capacity()) return;
    if (values.items.capacity() * sizeof(DecodedValue) > kMaxSpareBytes) return;
    values.items.clear();
    spare.swap(values.items);
}

const std::string& associated_field_name() {
    static const std::string name = "associatedField";
    return name;
}

const std::string& operator_name() {
    static const std::string name = "operator";
    return name;
}

const std::string& local_element_name() {
    static const std::string name = "localElement";
    return name;
}

const std::string& characters_name() {
    static const std::string name = "characters";
    return name;
}

void DecodeState::reset_for_subset() {
    width_change = 0;
    scale_change = 0;
    reference_multiplier = 1;
    local_width.reset();
    character_width.reset();
    associated_width = 0;
    bitmap.clear();
    history.clear();
    bitmap_cursor = 0;
    bitmap_anchor = 0;
    defining_bitmap = false;
    bitmap_may_start = false;
    data_end.reset();
    new_reference_width = 0;
    new_references.clear();
    local_elements.clear();
}

void DecodeState::set_new_reference(std::uint32_t code, std::int64_t reference) {
    const auto at = new_reference_slot(new_references, code);
    if (at != new_references.end() && at->first == code) {
        at->second = reference;
        return;
    }
    new_references.emplace(at, code, reference);
}

std::int64_t signed_reference(std::uint64_t raw, std::uint16_t width) {
    if (width == 0) return 0;
    if (width > 64) width = 64;
    const std::uint64_t sign = std::uint64_t{1} << (width - 1);
    const std::uint64_t magnitude = raw & (sign - 1);
    const auto m = static_cast<std::int64_t>(magnitude);
    return (raw & sign) != 0 ? -m : m;
}

const PowersOfTen kPowersOfTen;

PowersOfTen::PowersOfTen() {
    for (int s = -kPowCache; s <= kPowCache; ++s) v[s + kPowCache] = std::pow(10.0, static_cast<double>(s));
}

BufrError scale_out_of_range(std::uint32_t code, std::int32_t scale) {
    char text[96];
    std::snprintf(text, sizeof text, "element %06u: scale %d puts its values outside the range of a double",
                  static_cast<unsigned>(code), static_cast<int>(scale));
    return BufrError::table_parse(text);
}

double power_of_ten_slow(std::int32_t scale) { return std::pow(10.0, static_cast<double>(scale)); }

bool text_from_octets(std::string_view octets, std::string& pool) {
    bool all_ff = true;
    for (char c : octets) {
        if (static_cast<unsigned char>(c) != 0xFF) {
            all_ff = false;
            break;
        }
    }
    if (all_ff) return false;
    std::size_t end = octets.size();
    while (end > 0) {
        const char c = octets[end - 1];
        if (c == ' ' || (c >= '\t' && c <= '\r')) --end;
        else break;
    }
    const std::size_t start = pool.size();
    pool.resize(start + end);
    char* dst = pool.data() + start;
    for (std::size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(octets[i]);
        dst[i] = c > 127 ? '?' : static_cast<char>(c);
    }
    return true;
}

std::string format_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
    // The shortest round-trip digits, from the scientific form
    // "[-]d[.ddd]e[+-]XX".
    char sci[64];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    const char* const stop = res.ptr;
    std::string out;
    out.reserve(40);
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[32];
    std::size_t nd = 0;
    while (p < stop && *p != 'e') {
        if (*p != '.') digits[nd++] = *p;
        ++p;
    }
    int exponent = 0;
    // The exponent runs to the end of the to_chars output, which is not
    // NUL-terminated; a '+' sign is not accepted by from_chars.
    const char* e = p + 1;
    if (e < stop && *e == '+') ++e;
    std::from_chars(e, stop, exponent);
    const double mag = std::fabs(v);
    if (mag >= 1e16 || mag < 1e-4) {
        out.push_back(digits[0]);
        if (nd > 1) {
            out.push_back('.');
            out.append(digits + 1, nd - 1);
        }
        out.push_back('e');
        char exp_text[16];
        const auto er = std::to_chars(exp_text, exp_text + sizeof exp_text, exponent);
        out.append(exp_text, er.ptr);
        return out;
    }
    if (exponent >= 0) {
        const std::size_t int_len = static_cast<std::size_t>(exponent) + 1;
        if (nd <= int_len) {
            out.append(digits, nd);
            out.append(int_len - nd, '0');
            out.append(".0");
        } else {
            out.append(digits, int_len);
            out.push_back('.');
            out.append(digits + int_len, nd - int_len);
        }
    } else {
        out.append("0.");
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits, nd);
    }
    return out;
}

std::string decoded_value_repr(const DecodedValue& v, std::string_view text) {
    char code[32];
    std::snprintf(code, sizeof code, "%06u", v.descriptor);
    std::string out = "DecodedValue(";
    out += code;
    out += ", ";
    if (v.has_text()) out += quote_text(text);
    else if (v.meaning != nullptr) out += quote_text(*v.meaning);
    else if (v.has_value()) out += "Some(" + format_number(v.raw_value) + ")";
    else out += "None";
    out += ")";
    return out;
}

}  // namespace corvena
