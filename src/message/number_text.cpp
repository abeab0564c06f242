#include "message/number_text.hpp"

#include <charconv>
#include <cmath>

#include "message/value.hpp"

namespace corvena {

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    // The same digits and forms as format_number, whose exponent Python
    // writes with a sign and at least two digits: 1e-05, 1.5e+16.
    const std::string text = format_number(value);
    const std::size_t e = text.find('e');
    if (e == std::string::npos) {
        out += text;
        return;
    }
    out.append(text, 0, e + 1);
    std::string_view exponent(text);
    exponent.remove_prefix(e + 1);
    if (exponent.front() == '-') {
        out.push_back('-');
        exponent.remove_prefix(1);
    } else {
        out.push_back('+');
    }
    if (exponent.size() < 2) out.push_back('0');
    out += exponent;
}

void append_whole(std::string& out, double value) {
    const double whole = std::nearbyint(value);
    if (std::fabs(whole) < 1e36) {
        __int128 v = static_cast<__int128>(whole);
        if (v < 0) {
            out.push_back('-');
            v = -v;
        }
        char digits[48];
        int n = 0;
        auto u = static_cast<unsigned __int128>(v);
        do {
            digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
            u /= 10;
        } while (u != 0);
        while (n > 0) out.push_back(digits[--n]);
        return;
    }
    // Beyond 2^119: the exact digits of the double.
    char buf[400];
    const auto done = std::to_chars(buf, buf + sizeof buf, whole, std::chars_format::fixed, 0);
    out.append(buf, done.ptr);
}

void append_json_quoted(std::string& out, std::string_view text) {
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
            } else {
                out.push_back(ch);
            }
        }
    }
    out.push_back('"');
}

}  // namespace corvena
