#include "tables/int_parse.hpp"

#include <string>

#include "common/quote.hpp"

namespace corvena {

const char* int_failure_text(IntFailure failure) {
    switch (failure) {
    case IntFailure::Empty: return "cannot parse integer from empty string";
    case IntFailure::InvalidDigit: return "invalid digit found in string";
    case IntFailure::PosOverflow: return "number too large to fit in target type";
    case IntFailure::NegOverflow: return "number too small to fit in target type";
    case IntFailure::None: break;
    }
    return "";
}

IntFailure parse_u64(std::string_view text, std::uint64_t max, std::uint64_t& out) {
    if (text.empty()) return IntFailure::Empty;
    std::size_t i = 0;
    if (text[0] == '+') {
        if (text.size() == 1) return IntFailure::InvalidDigit;
        i = 1;
    }
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return IntFailure::InvalidDigit;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (value > (max - d) / 10) return IntFailure::PosOverflow;
        value = value * 10 + d;
    }
    out = value;
    return IntFailure::None;
}

IntFailure parse_i64(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out) {
    if (text.empty()) return IntFailure::Empty;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        if (text.size() == 1) return IntFailure::InvalidDigit;
        negative = text[0] == '-';
        i = 1;
    }
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return IntFailure::InvalidDigit;
        const int d = c - '0';
        if (negative) {
            if (value < (min + d) / 10) return IntFailure::NegOverflow;
            value = value * 10 - d;
        } else {
            if (value > (max - d) / 10) return IntFailure::PosOverflow;
            value = value * 10 + d;
        }
    }
    out = value;
    return IntFailure::None;
}

namespace {

BufrError bad_field(const char* what, std::string_view text, IntFailure failure) {
    return BufrError::table_parse(std::string("bad ") + what + " " + quote_text(text) + ": " +
                                  int_failure_text(failure));
}

}  // namespace

Result<std::uint32_t> parse_descriptor_code(std::string_view text) {
    std::string_view t = trim_ws(text);
    while (!t.empty() && t.front() == '"') t.remove_prefix(1);
    while (!t.empty() && t.back() == '"') t.remove_suffix(1);
    std::uint64_t v = 0;
    IntFailure f = parse_u64(t, 0xFFFFFFFFu, v);
    if (f != IntFailure::None) return bad_field("descriptor code", text, f);
    return static_cast<std::uint32_t>(v);
}

Result<std::int32_t> parse_i32_field(std::string_view text) {
    std::int64_t v = 0;
    IntFailure f = parse_i64(text, INT32_MIN, INT32_MAX, v);
    if (f != IntFailure::None) return bad_field("i32", text, f);
    return static_cast<std::int32_t>(v);
}

Result<std::int64_t> parse_i64_field(std::string_view text) {
    std::int64_t v = 0;
    IntFailure f = parse_i64(text, INT64_MIN, INT64_MAX, v);
    if (f != IntFailure::None) return bad_field("i64", text, f);
    return v;
}

Result<std::uint16_t> parse_u16_field(std::string_view text) {
    std::uint64_t v = 0;
    IntFailure f = parse_u64(text, 0xFFFF, v);
    if (f != IntFailure::None) return bad_field("u16", text, f);
    return static_cast<std::uint16_t>(v);
}

bool is_ws_at(std::string_view s, std::size_t i, std::size_t& len) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    len = 1;
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return true;
    if (c < 0x80) return false;
    auto at = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0; };
    if (c == 0xC2) {
        const unsigned char n = at(i + 1);
        if (n == 0x85 || n == 0xA0) {
            len = 2;
            return true;
        }
        return false;
    }
    if (c == 0xE1 && at(i + 1) == 0x9A && at(i + 2) == 0x80) {  // U+1680
        len = 3;
        return true;
    }
    if (c == 0xE2) {
        const unsigned char n1 = at(i + 1), n2 = at(i + 2);
        if (n1 == 0x80 && ((n2 >= 0x80 && n2 <= 0x8A) || n2 == 0xA8 || n2 == 0xA9 || n2 == 0xAF)) {
            len = 3;
            return true;
        }
        if (n1 == 0x81 && n2 == 0x9F) {  // U+205F
            len = 3;
            return true;
        }
        return false;
    }
    if (c == 0xE3 && at(i + 1) == 0x80 && at(i + 2) == 0x80) {  // U+3000
        len = 3;
        return true;
    }
    return false;
}

std::string_view trim_ws(std::string_view s) {
    std::size_t len;
    std::size_t start = 0;
    while (start < s.size() && is_ws_at(s, start, len)) start += len;
    std::size_t end = s.size();
    while (end > start) {
        // Find the start of the last character (UTF-8 continuation bytes).
        std::size_t k = end - 1;
        while (k > start && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
        if (is_ws_at(s, k, len) && k + len == end) end = k;
        else break;
    }
    return s.substr(start, end - start);
}

}  // namespace corvena
